// Applying the fast commits of a journal to the file system in memory, as recovery applies them:
// libext2fs, opened for writing over a window whose writes are captured (see captured_writes.h),
// writes the inodes, extents and directory entries that each record describes.
#pragma once

#include "ext/ext_channel.h"
#include "ext/fast_commit.h"

#include <cstddef>
#include <string>

namespace dirtool {

// Applies `log`'s changes, in order, to the file system in `window`, whose captured writes are open.
// False with a message at the first change that cannot be applied, whose index goes into
// `failed_at`; the changes before it stay applied.
bool replay_fast_commits(const image_window& window, const fast_commit_log& log, std::size_t& failed_at,
                         std::string& error);

}  // namespace dirtool
