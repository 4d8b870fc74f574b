// A platform for unit tests: no process runs and no file is touched. It records every command text,
// plays the directory tool by serving canned listing texts into in-memory temporary files, captures
// standard output, and logs every file opened, closed and deleted, in order.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/quoting_rules.h"

namespace platform::fake {

struct state {
    // What the platform reports.
    std::uint32_t version = 0x0a280105u;  // NT family
    std::map<std::string, std::string> environment;  // a variable listed is set, even when empty
    std::string temp_directory = "/tmp";
    interpreter rules = interpreter::posix_shell;
    char separator = '/';

    // The tool: the listing text written for each directory path. A directory without one is
    // answered as the tool answers a missing directory.
    std::map<std::string, std::string> listings;
    // Texts for directories without an entry in `listings`, served in the order they are asked for.
    std::deque<std::string> next_listings;
    // Whether running a listing command creates its temporary file (false: the redirection failed).
    bool redirection_works = true;
    // Files another program holds open: they can neither be deleted nor written.
    std::set<std::string> held_files;

    // What happened.
    std::vector<std::string> commands;
    std::vector<std::string> events;  // "run ...", "open PATH", "close PATH", "delete PATH"
    std::map<std::string, std::string> files;
    std::string output;
    int lines_written = 0;
    int flushes = 0;
    int open_files = 0;
    int most_open_files = 0;
};

// Sets up a fresh state and returns it.
state& reset();
state& current();

// A listing text as the tool writes it, one entry line per (mode, size, name), then the end line.
struct tool_entry {
    std::string mode;
    std::string size;
    std::string name;
    std::string date = "Jan 02 03:04:05 2026";
};
std::string tool_line(const tool_entry& entry);
std::string tool_listing(const std::vector<tool_entry>& entries);

}  // namespace platform::fake
