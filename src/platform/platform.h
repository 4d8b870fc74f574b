// Everything kovox needs of the operating system, behind one small interface. The logic above this
// folder never asks which platform it runs on; the build links exactly one implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

// The platform version word; bit 31 set means the DOS-based family of Windows.
std::uint32_t get_version();

// Reads an environment variable into `buffer` with the contract of GetEnvironmentVariableA: returns the
// length stored; 0 when the variable is not set or empty; and when the value does not fit in `size`
// bytes with its terminator, the size it would need, leaving `buffer` untouched.
std::uint32_t get_environment_variable(const char* name, char* buffer, std::uint32_t size);

// Whether the environment variable `name` is set, to any value, its name compared as the
// platform compares them: without regard to case on Windows. Asked when a command is built, since
// the interpreter it starts inherits this environment.
bool is_variable_set(std::string_view name);

// The platform's own directory for temporary files, without a trailing separator. False when it has
// none that fits.
bool get_temp_directory(char* buffer, std::size_t size);

// The separator between the components of a local path.
char local_path_separator();

// Whether `text`, put inside double quotes in a command text, reaches the program as exactly one
// argument holding exactly `text`, provided can_run_unchanged holds for the whole command. On POSIX
// only a double quote or a control character stops it; on Windows a final backslash too.
bool can_quote(std::string_view text);
// Whether `text` can stand unquoted inside one argument of a command text without being changed.
bool can_pass_unquoted(std::string_view text);
// Whether the interpreter runs `command_text` as written, with no variable's value put in place of
// any part of it: on Windows a `%NAME%` whose name cmd.exe knows, asked of the environment now.
bool can_run_unchanged(const char* command_text);

// The longest command text run_command runs. cmd.exe itself takes 8,191 characters; kovox's
// longest is 808, and the POSIX layer's script for it takes up to four times as many.
constexpr std::size_t max_command_length = 1023;

// Runs a command text through the command interpreter and waits for it to end. The text is read as
// cmd.exe reads it, on every platform: on POSIX the layer hands /bin/sh a script that means the
// same. A text over max_command_length characters is not run.
void run_command(const char* command_text);

// Files are read in binary: line ends are the reader's business, and a stray control character
// (Ctrl-Z in text mode on Windows) must not end a listing early.
struct file;
file* open_for_reading(const char* path);
// Reads up to `size` bytes; 0 at the end of the file or on an error.
std::size_t read_file(file* handle, char* buffer, std::size_t size);
void close_file(file* handle);
// Deletes a file. True when it is gone afterwards, also when there was none.
bool delete_file(const char* path);

// Standard output: one whole line is written, then pushed out at once.
void write_output(const char* text, std::size_t length);
void flush_output();

// Converts text in place from the ANSI to the OEM code page, for display.
void ansi_to_oem(char* text);

}  // namespace platform
