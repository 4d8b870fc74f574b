// QCOW2, QEMU's disk format: recognised by its magic, its header read, and the files it names
// opened: an external data file beside it, and a backing file that serves what the image does
// not hold, itself any disk file (a raw image, another QCOW2, another container).
#include "disk/qcow2.h"

#include "base/bytes.h"
#include "disk/containers.h"
#include "host/host_fs.h"

#include <cstring>
#include <utility>

namespace dirtool {
namespace {

bool is_absolute(const std::string& name) {
    if (!name.empty() && (name[0] == '/' || name[0] == '\\')) return true;
    // A Windows drive: "C:\disks\base.qcow2" or "C:/disks/base.qcow2".
    return name.size() >= 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

// A file that the image names, as QEMU finds it: relative to the image's own folder.
// An image with no path (read from memory) has no folder, and looks up no file at all.
bool beside(const std::string& image_path, const std::string& name, std::string& path) {
    if (image_path.empty()) return false;
    if (is_absolute(name)) {
        path = name;
        return true;
    }
    const std::size_t slash = image_path.find_last_of(this_host == host_kind::win32 ? "/\\" : "/");
    path = slash == std::string::npos ? name : image_path.substr(0, slash + 1) + name;
    return true;
}

bool recognises_qcow2(const disk_probe& probe) {
    return probe.head_length >= 4 && std::memcmp(probe.head, "QFI\xfb", 4) == 0;
}

std::unique_ptr<image_source> open_backing_file(const qcow2::layout& shape, const std::string& path, unsigned depth,
                                                std::string& error) {
    std::string backing_path;
    if (!beside(path, shape.backing_file, backing_path)) {
        error = path + ": its backing file " + shape.backing_file + " cannot be looked up";
        return nullptr;
    }
    std::unique_ptr<image_source> backing;
    std::string problem;
    if (shape.backing_format == "raw") {
        // Named raw, it is read as raw even where its first bytes look like a container's.
        backing = open_image_file(backing_path, problem);
    } else {
        backing = open_disk_file(backing_path, depth + 1, problem);
    }
    // A message from deeper in a chain names its own file; the image the user named says whose it is.
    if (!backing) error = depth == 0 ? path + ": its backing file: " + problem : problem;
    return backing;
}

std::unique_ptr<image_source> open_qcow2(std::unique_ptr<image_source> file, const std::string& path, unsigned depth,
                                         std::string& error) {
    auto image = std::make_unique<image_reader>(std::move(file));
    const std::uint64_t file_size = image->source().size();
    const qcow2::byte_reader read = [&image, file_size](std::uint64_t offset, std::size_t count, char* data,
                                                        std::string& problem) {
        if (!fits_inside(offset, count, file_size)) {
            problem = "the file ends before its header does";
            return false;
        }
        return image->read(offset, data, count, problem) == image_reader::result::done;
    };
    qcow2::layout shape;
    std::string problem;
    if (!qcow2::read_header(read, file_size, shape, problem)) {
        error = path + ": " + problem;
        return nullptr;
    }
    if (!qcow2::can_inflate(shape.compressed_with)) {
        // Refused at once rather than at the first compressed cluster, deep in a listing.
        error = path + ": zstd-compressed clusters are not read by this build";
        return nullptr;
    }
    qcow2::files sources;
    if (shape.has_data_file) {
        std::string data_path;
        if (!beside(path, shape.data_file, data_path)) {
            error = path + ": its data file " + shape.data_file + " cannot be looked up";
            return nullptr;
        }
        sources.data = open_image_file(data_path, problem);
        if (!sources.data) {
            error = path + ": its data file: " + problem;
            return nullptr;
        }
    }
    if (shape.has_backing_file) {
        sources.backing = open_backing_file(shape, path, depth, error);
        if (!sources.backing) return nullptr;
    }
    sources.image = std::move(image);
    return qcow2::open_virtual_disk(shape, std::move(sources), path);
}

}  // namespace

extern const container_format qcow2_format = {"QCOW2", recognises_qcow2, open_qcow2};

}  // namespace dirtool
