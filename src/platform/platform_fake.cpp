#include "platform/platform_fake.h"

#include <cctype>
#include <cstring>

#include "platform/platform.h"

namespace platform {

struct file {
    std::string path;
    std::string data;
    std::size_t position = 0;
};

namespace fake {
namespace {

state the_state;

// The quoted texts of a command, in order.
std::vector<std::string> quoted_texts(const std::string& command) {
    std::vector<std::string> texts;
    std::size_t open = command.find('"');
    while (open != std::string::npos) {
        const std::size_t close = command.find('"', open + 1);
        if (close == std::string::npos) break;
        texts.push_back(command.substr(open + 1, close - open - 1));
        open = command.find('"', close + 1);
    }
    return texts;
}

// Plays the interpreter and the tool for a listing command: `tool ... "path" > "temp"`.
void serve_listing(const std::string& command) {
    if (command.find(" > ") == std::string::npos || !the_state.redirection_works) return;
    const std::vector<std::string> texts = quoted_texts(command);
    if (texts.size() != 2 || the_state.held_files.count(texts[1]) > 0) return;
    const auto listing = the_state.listings.find(texts[0]);
    std::string& file = the_state.files[texts[1]];
    if (listing != the_state.listings.end()) {
        file = listing->second;
    } else if (!the_state.next_listings.empty()) {
        file = the_state.next_listings.front();
        the_state.next_listings.pop_front();
    } else {
        file = "Can't find " + texts[0] + "\n";
    }
}

}  // namespace

state& reset() {
    the_state = state{};
    return the_state;
}

state& current() { return the_state; }

std::string tool_line(const tool_entry& entry) {
    std::string line = entry.mode;
    line.resize(21, ' ');
    std::string size = entry.size;
    if (size.size() < 9) size.insert(0, 9 - size.size(), ' ');
    return line + size + "     " + entry.date + " " + entry.name + "\n";
}

std::string tool_listing(const std::vector<tool_entry>& entries) {
    std::string text = tool_line({"drwxr-xr-x", "4096", "."}) + tool_line({"drwxr-xr-x", "4096", ".."});
    for (const tool_entry& entry : entries) text += tool_line(entry);
    return text + "Disk space: 1000 KB free\n";
}

}  // namespace fake

std::uint32_t get_version() { return fake::the_state.version; }

std::uint32_t get_environment_variable(const char* name, char* buffer, std::uint32_t size) {
    const auto variable = fake::the_state.environment.find(name);
    if (variable == fake::the_state.environment.end() || variable->second.empty()) {
        if (size > 0) buffer[0] = '\0';
        return 0;
    }
    const std::string& value = variable->second;
    if (value.size() >= size) return static_cast<std::uint32_t>(value.size() + 1);
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<std::uint32_t>(value.size());
}

// Without regard to case under the Windows interpreter's rules, as Windows compares names.
bool is_variable_set(std::string_view name) {
    for (const auto& [variable, value] : fake::the_state.environment) {
        if (variable.size() != name.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) {
            same = fake::the_state.rules == interpreter::windows_cmd
                       ? std::toupper(static_cast<unsigned char>(variable[i])) ==
                             std::toupper(static_cast<unsigned char>(name[i]))
                       : variable[i] == name[i];
        }
        if (same) return true;
    }
    return false;
}

bool get_temp_directory(char* buffer, std::size_t size) {
    const std::string& directory = fake::the_state.temp_directory;
    if (directory.empty() || directory.size() >= size) return false;
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return true;
}

char local_path_separator() { return fake::the_state.separator; }

bool can_quote(std::string_view text) { return can_quote_for(fake::the_state.rules, text); }

bool can_pass_unquoted(std::string_view text) {
    return can_pass_unquoted_for(fake::the_state.rules, text);
}

bool can_run_unchanged(const char* command_text) {
    return can_run_unchanged_for(fake::the_state.rules, command_text, is_variable_set);
}

void run_command(const char* command_text) {
    fake::the_state.commands.push_back(command_text);
    fake::the_state.events.push_back(std::string("run ") + command_text);
    fake::serve_listing(command_text);
}

file* open_for_reading(const char* path) {
    const auto found = fake::the_state.files.find(path);
    if (found == fake::the_state.files.end()) return nullptr;
    fake::the_state.events.push_back(std::string("open ") + path);
    fake::the_state.open_files++;
    if (fake::the_state.open_files > fake::the_state.most_open_files) {
        fake::the_state.most_open_files = fake::the_state.open_files;
    }
    return new file{path, found->second};
}

std::size_t read_file(file* handle, char* buffer, std::size_t size) {
    const std::size_t count = std::min(size, handle->data.size() - handle->position);
    std::memcpy(buffer, handle->data.data() + handle->position, count);
    handle->position += count;
    return count;
}

void close_file(file* handle) {
    fake::the_state.events.push_back("close " + handle->path);
    fake::the_state.open_files--;
    delete handle;
}

bool delete_file(const char* path) {
    if (fake::the_state.held_files.count(path) > 0) return false;
    if (fake::the_state.files.erase(path) > 0) {
        fake::the_state.events.push_back(std::string("delete ") + path);
    }
    return true;
}

void write_output(const char* text, std::size_t length) {
    fake::the_state.output.append(text, length);
    fake::the_state.lines_written++;
}

void flush_output() { fake::the_state.flushes++; }

// Stands in for a code page conversion: e-acute in ANSI (0xE9) becomes its OEM code (0x82).
void ansi_to_oem(char* text) {
    for (; *text != '\0'; ++text) {
        if (static_cast<unsigned char>(*text) == 0xe9) *text = static_cast<char>(0x82);
    }
}

}  // namespace platform
