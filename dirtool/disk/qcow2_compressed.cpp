// Compressed clusters: raw deflate (zlib) or a zstd frame, each inflating to exactly one cluster.
// The compressed length the L2 entry gives is rounded up to whole sectors, so bytes after the
// stream's end belong to nothing (or to the next cluster) and are left unread.
#include "disk/qcow2.h"

#include <zlib.h>
#if DIRTOOL_WITH_ZSTD
#include <zstd.h>
#endif

#include <climits>
#include <memory>

namespace dirtool {
namespace qcow2 {
namespace {

// Inflates straight into the cluster; a stream that fills it and would go on is one byte longer
// than the cluster, which a second call into one spare byte shows.
bool inflate_deflate(const char* bytes, std::size_t count, char* cluster, std::size_t cluster_size,
                     std::size_t& produced) {
    z_stream stream{};
    // Raw deflate with the 4 KiB window the format's writers use.
    if (inflateInit2(&stream, -12) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
    stream.avail_in = count > UINT_MAX ? UINT_MAX : static_cast<uInt>(count);
    stream.next_out = reinterpret_cast<Bytef*>(cluster);
    stream.avail_out = static_cast<uInt>(cluster_size);
    const int status = inflate(&stream, Z_FINISH);
    produced = cluster_size - stream.avail_out;
    if (status != Z_STREAM_END && produced == cluster_size) {
        unsigned char spare = 0;
        stream.next_out = &spare;
        stream.avail_out = 1;
        inflate(&stream, Z_FINISH);
        if (stream.avail_out == 0) produced = cluster_size + 1;
    } else if (status != Z_STREAM_END) {
        produced = 0;
    }
    inflateEnd(&stream);
    return true;
}

#if DIRTOOL_WITH_ZSTD
struct zstd_context_deleter {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// Feeds the frame until it ends, `to` is full, or no input is left; false on a damaged frame.
bool zstd_fill(ZSTD_DCtx* context, ZSTD_inBuffer& in, ZSTD_outBuffer& to, bool& frame_ended) {
    for (;;) {
        const std::size_t read_before = in.pos;
        const std::size_t written_before = to.pos;
        const std::size_t status = ZSTD_decompressStream(context, &to, &in);
        if (ZSTD_isError(status)) return false;
        frame_ended = status == 0;
        if (frame_ended || to.pos == to.size || in.pos == in.size) return true;
        if (in.pos == read_before && to.pos == written_before) return true;  // stuck: no progress
    }
}

bool inflate_zstd(const char* bytes, std::size_t count, char* cluster, std::size_t cluster_size, std::size_t& produced) {
    static std::unique_ptr<ZSTD_DCtx, zstd_context_deleter> context(ZSTD_createDCtx());
    if (!context) return false;
    ZSTD_DCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
    // A frame may ask for a window of up to 2 GiB; a cluster of 2 MiB never needs more than 4 MiB.
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, 22);
    ZSTD_inBuffer in{bytes, count, 0};
    ZSTD_outBuffer to{cluster, cluster_size, 0};
    bool frame_ended = false;
    if (!zstd_fill(context.get(), in, to, frame_ended)) {
        produced = 0;
        return true;
    }
    produced = to.pos;
    if (!frame_ended && produced == cluster_size) {
        char spare = 0;
        ZSTD_outBuffer more{&spare, 1, 0};
        if (zstd_fill(context.get(), in, more, frame_ended) && more.pos == 1) produced = cluster_size + 1;
    }
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
