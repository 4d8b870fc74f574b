// The listing walk: one tool run per directory, depth first, one output line per entry.
#pragma once

namespace kovox {

// Lists the entries of the device directory at `path` ("/" or "/a/b/") and, through its own calls,
// of every directory below it except the root's "dev". `depth` is 0 for the root.
void list_dir(const char* path, int depth);

}  // namespace kovox
