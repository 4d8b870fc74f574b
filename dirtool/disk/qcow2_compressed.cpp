// Compressed clusters: raw deflate (zlib) or a zstd frame, each inflating to exactly one cluster.
// The compressed length the L2 entry gives is rounded up to whole sectors, so bytes after the
// stream's end belong to nothing (or to the next cluster) and are left unread.
#include "disk/qcow2.h"

#include <zlib.h>
#if DIRTOOL_WITH_ZSTD
#include <zstd.h>
#endif

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

namespace dirtool {
namespace qcow2 {
namespace {

// One byte more room than the cluster, so that a stream that would inflate past it shows.
bool inflate_deflate(const char* bytes, std::size_t count, char* cluster, std::size_t cluster_size,
                     std::size_t& produced) {
    std::vector<unsigned char> out(cluster_size + 1);
    z_stream stream{};
    // Raw deflate with the 4 KiB window the format's writers use.
    if (inflateInit2(&stream, -12) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
    stream.avail_in = count > UINT_MAX ? UINT_MAX : static_cast<uInt>(count);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&stream, Z_FINISH);
    produced = out.size() - stream.avail_out;
    inflateEnd(&stream);
    if (status != Z_STREAM_END && status != Z_BUF_ERROR && status != Z_OK) produced = 0;
    std::copy(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(produced < cluster_size ? produced : cluster_size),
              cluster);
    return true;
}

#if DIRTOOL_WITH_ZSTD
struct zstd_context_deleter {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

bool inflate_zstd(const char* bytes, std::size_t count, char* cluster, std::size_t cluster_size, std::size_t& produced) {
    std::unique_ptr<ZSTD_DCtx, zstd_context_deleter> context(ZSTD_createDCtx());
    if (!context) return false;
    // A frame may ask for a window of up to 2 GiB; a cluster of 2 MiB never needs more than 4 MiB.
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, 22);
    std::vector<char> out(cluster_size + 1);
    ZSTD_inBuffer in{bytes, count, 0};
    ZSTD_outBuffer to{out.data(), out.size(), 0};
    for (;;) {
        const std::size_t read_before = in.pos;
        const std::size_t written_before = to.pos;
        const std::size_t status = ZSTD_decompressStream(context.get(), &to, &in);
        if (ZSTD_isError(status)) {
            to.pos = 0;
            break;
        }
        // Done at the frame's end, with the room full, with no input left, or when stuck.
        if (status == 0 || to.pos == to.size || in.pos == in.size) break;
        if (in.pos == read_before && to.pos == written_before) break;
    }
    produced = to.pos;
    std::copy(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(produced < cluster_size ? produced : cluster_size),
              cluster);
    return true;
}
#endif

}  // namespace

bool can_inflate(compression method) {
    return method == compression::zlib || DIRTOOL_WITH_ZSTD;
}

bool inflate_cluster(compression method, const char* bytes, std::size_t count, char* cluster,
                     std::size_t cluster_size, std::string& problem) {
    std::size_t produced = 0;
    bool started = false;
    if (method == compression::zlib) {
        started = inflate_deflate(bytes, count, cluster, cluster_size, produced);
    } else {
#if DIRTOOL_WITH_ZSTD
        started = inflate_zstd(bytes, count, cluster, cluster_size, produced);
#else
        problem = "zstd-compressed clusters are not read by this build";
        return false;
#endif
    }
    if (!started) {
        problem = "no memory to inflate a compressed cluster";
        return false;
    }
    if (produced > cluster_size) {
        problem = "a compressed cluster inflates past its cluster size";
        return false;
    }
    if (produced < cluster_size) {
        problem = "a compressed cluster does not inflate to a whole cluster";
        return false;
    }
    return true;
}

}  // namespace qcow2
}  // namespace dirtool
