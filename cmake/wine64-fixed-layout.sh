#!/bin/sh
# wine64 with the kernel's address-space randomisation off, for it and for every Wine process it
# starts (the setting is inherited). With randomisation on, about one Windows process start in
# nine thousand failed before the program ran, with "wine: failed to map the shared user data:
# c0000018": something already held the fixed address where Wine puts Windows' shared data.
# Where the kernel refuses to turn randomisation off, wine64 runs as it is.
if setarch x86_64 -R true 2>/dev/null; then
  exec setarch x86_64 -R /usr/lib/wine/wine64 "$@"
fi
exec /usr/lib/wine/wine64 "$@"
