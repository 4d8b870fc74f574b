# zstd's decompressor for the Windows builds, placeholder until its build is written.
set(DIRTOOL_WITH_ZSTD OFF)
