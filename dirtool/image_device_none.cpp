// Builds without an image reader (the Win32 build): every device is a folder.
#include "device.h"

namespace dirtool {

const bool reads_disk_images = false;

std::unique_ptr<device> open_image_device(const std::string& image_file, std::string& error) {
    error = image_file + ": this build of the tool reads folders only";
    return nullptr;
}

}  // namespace dirtool
