#include "ext_image_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "program_runner.h"

namespace whole_program {

namespace fs = std::filesystem;

const std::string mke2fs_program = MKE2FS_PROGRAM;
const std::string debugfs_program = DEBUGFS_PROGRAM;

std::string contents_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string shell_output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
        pclose(pipe);
    }
    return text;
}

std::size_t copy_stride(std::size_t host_stride) { return on_windows() ? 3 * host_stride : host_stride; }

std::string once_per_image(const std::string& image, const std::function<std::string()>& list) {
    static std::map<std::string, std::string> listings;
    struct stat status {};
    if (stat(image.c_str(), &status) != 0) return list();
    const std::string bytes = contents_of(image);
    // The image's time goes into a whole disk's partition folders, so it is part of the key.
    const std::string key = std::to_string(std::hash<std::string>{}(bytes)) + " " + std::to_string(bytes.size()) +
                            " " + std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
    const auto known = listings.find(key);
    if (known != listings.end()) return known->second;
    const std::string listing = list();
    // A listing that failed is asked again next time, so that each failure is reported.
    if (!::testing::Test::HasFailure()) listings.emplace(key, listing);
    return listing;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

// Runs debugfs once for all `requests` and returns the lines each one printed.
std::vector<std::vector<std::string>> ask_debugfs(const std::string& image, const std::vector<std::string>& requests,
                                                  const std::string& work) {
    std::string script;
    for (const std::string& request : requests) script += request + "\n";
    write_file(work + "/requests", script);
    std::vector<std::vector<std::string>> answers;
    for (const std::string& line :
         lines_of(shell_output("TZ=UTC " + debugfs_program + " -f '" + work + "/requests' '" + image + "' 2>/dev/null"))) {
        if (line.rfind("debugfs: ", 0) == 0) {
            answers.emplace_back();
        } else if (!answers.empty() && !line.empty()) {
            answers.back().push_back(line);
        }
    }
    return answers;
}

// What debugfs reports of every directory below the root, in the order it stores its entries:
// "ls -p" gives the names as stored and the modes, "ls -l" the sizes and, to the minute, the times.
std::map<std::string, std::vector<image_entry>> debugfs_listings(const std::string& image, const std::string& work) {
    std::map<std::string, std::vector<image_entry>> listings;
    for (std::vector<std::string> level = {"/"}; !level.empty();) {
        std::vector<std::string> requests;
        for (const std::string& folder : level) {
            requests.push_back("ls -p \"" + folder + "\"");
            requests.push_back("ls -l \"" + folder + "\"");
        }
        const std::vector<std::vector<std::string>> answers = ask_debugfs(image, requests, work);
        EXPECT_EQ(answers.size(), requests.size());
        std::vector<std::string> next_level;
        for (std::size_t i = 0; i < level.size() && 2 * i + 1 < answers.size(); ++i) {
            const std::vector<std::string>& parsable = answers[2 * i];
            const std::vector<std::string>& long_form = answers[2 * i + 1];
            EXPECT_EQ(parsable.size(), long_form.size()) << level[i];
            std::vector<image_entry>& entries = listings[level[i]];
            for (std::size_t j = 0; j < std::min(parsable.size(), long_form.size()); ++j) {
                // "/inode/mode/uid/gid/name/size/"; names hold no "/".
                std::vector<std::string> fields;
                std::istringstream split(parsable[j]);
                for (std::string field; std::getline(split, field, '/');) fields.push_back(field);
                // "inode mode (type) uid gid size day-Mon-year hh:mm name"
                std::istringstream words(long_form[j]);
                std::string inode, mode, type, uid, gid, day_month_year, time;
                image_entry entry;
                words >> inode >> mode >> type >> uid >> gid >> entry.size >> day_month_year >> time;
                // debugfs shows the empty slots of a directory block too, as inode 0.
                if (fields.size() < 6 || fields[1] == "0") continue;
                entry.name = fields[5];
                entry.mode = static_cast<unsigned>(std::stoul(fields[2], nullptr, 8));
                int day = 0, year = 0;
                char month[4] = {};
                std::sscanf(day_month_year.c_str(), "%d-%3s-%d", &day, month, &year);
                char minute[32];
                std::snprintf(minute, sizeof minute, "%s %02d %s %04d", month, day, time.c_str(), year);
                entry.minute = minute;
                entries.push_back(entry);
                if (is_directory(entry) && entry.name != "." && entry.name != "..") {
                    next_level.push_back(level[i] + entry.name + "/");
                }
            }
        }
        level = next_level;
    }
    return listings;
}

// A listing line cut to what debugfs can tell: mode, size, time to the minute and path.
std::string comparable(const std::string& mode, unsigned long long size, const std::string& minute,
                       const std::string& path) {
    return mode + " | " + std::to_string(size) + " | " + minute + " | " + path;
}

std::string comparable_kovox_line(const std::string& line) {
    if (line.size() < 47) return "short line: " + line;
    const std::string date = line.substr(25, 20);
    return comparable(line.substr(0, 10), std::stoull(line.substr(11, 13)),
                      date.substr(0, 12) + " " + date.substr(16, 4), line.substr(46));
}

// The listing kovox must print for the image: depth first in the order the image stores its
// entries, the root's "dev" listed but not entered, links and special files never entered.
void expected_walk(const std::map<std::string, std::vector<image_entry>>& listings, const std::string& folder,
                   std::vector<std::string>& lines) {
    const auto found = listings.find(folder);
    if (found == listings.end()) return;
    for (const image_entry& entry : found->second) {
        if (entry.name == "." || entry.name == "..") continue;
        const std::string mode = std::string(is_directory(entry) ? "d" : "-") + ((entry.mode & 0200) != 0 ? "-" : "r") +
                                 "--------";
        lines.push_back(comparable(mode, entry.size, entry.minute, folder.substr(1) + entry.name));
        if (is_directory(entry) && !(folder == "/" && entry.name == "dev")) {
            expected_walk(listings, folder + entry.name + "/", lines);
        }
    }
}

std::string set_up_runs(const std::string& work, std::string& devices, std::string& temp) {
    devices = work + "/devices";
    fs::remove_all(devices);
    fs::create_directories(devices);
    temp = work + "/temp";
    fs::create_directories(temp);
    set_environment("KOVO_DEVICES", devices);
    set_environment("TEMP", temp);
    set_environment("TMP", "");
    return put_binary_directory_on_path();
}

// Runs the stand-in tool directly, standard output and standard error each captured.
tool_result run_tool(const std::string& directory, const std::vector<std::string>& arguments) {
    const std::vector<std::string> command = program_command(directory, "kovont.exe", arguments);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    const std::string output_file = directory + "/tool-output";
    const std::string error_file = directory + "/tool-errors";
    const pid_t child = fork();
    if (child == 0) {
        const int output = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errors = open(error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (output < 0 || errors < 0 || dup2(output, STDOUT_FILENO) < 0 || dup2(errors, STDERR_FILENO) < 0 ||
            chdir(directory.c_str()) != 0) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    tool_result result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.output = contents_of(output_file);
    result.errors = contents_of(error_file);
    fs::remove(output_file);
    fs::remove(error_file);
    return result;
}

std::string with_line_feeds(const std::string& output) {
    if (!on_windows()) return output;
    std::string text;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] == '\r' && i + 1 < output.size() && output[i + 1] == '\n') continue;
        EXPECT_FALSE(output[i] == '\n' && (i == 0 || output[i - 1] != '\r'))
            << "a line feed without a carriage return at " << i;
        text += output[i];
    }
    return text;
}

std::string as_kovox_prints(const std::string& text, const std::string& work) {
    if (!on_windows()) return text;
    write_file(work + "/oem-in", text);
    const std::string loader = std::getenv("KOVOX_WINE");
    const std::string launcher = std::string(std::getenv("KOVOX_WINDOWS_PROGRAMS")) + "/wine_launch.exe";
    return shell_output("'" + loader + "' '" + launcher + "' --ansi-to-oem <'" + work + "/oem-in'");
}

std::vector<std::string> as_kovox_prints(const std::vector<std::string>& lines, const std::string& work) {
    std::string joined;
    for (const std::string& line : lines) joined += line + "\n";
    return lines_of(as_kovox_prints(joined, work));
}

std::string copied_file(const std::string& here, const std::string& device_path) {
    const std::string local = here + "/" + device_path.substr(device_path.find_last_of("/\\") + 1);
    if (on_windows() && !fs::exists(local)) {
        for (const auto& item : fs::directory_iterator(here)) return item.path().string();
    }
    return local;
}

std::string as_asked_for(const std::string& device_path, std::size_t i) {
    std::string path = device_path;
    if (on_windows() && i % 2 == 1) std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

namespace {

// Every regular file of the listings, by path.
std::vector<std::string> regular_files(const std::map<std::string, std::vector<image_entry>>& listings) {
    std::vector<std::string> files;
    for (const auto& [folder, entries] : listings) {
        for (const image_entry& entry : entries) {
            if (is_regular(entry)) files.push_back(folder + entry.name);
        }
    }
    return files;
}

}  // namespace

void expect_image_served_as(const std::string& image, const std::string& oracle, const std::string& work,
                            const std::string& devices) {
    const std::map<std::string, std::vector<image_entry>> listings = debugfs_listings(oracle, work);
    std::vector<std::string> walk;
    expected_walk(listings, "/", walk);
    const std::string device = devices + "/hda1.img";
    fs::copy_file(image, device, fs::copy_options::overwrite_existing);
    const std::string stored = contents_of(device);

    const run_result listed = run_in(binary_directory(), "kovox", {"hda1.img"});
    EXPECT_EQ(listed.status, 0);
    std::vector<std::string> lines;
    for (const std::string& line : lines_of(with_line_feeds(listed.output))) lines.push_back(comparable_kovox_line(line));
    EXPECT_EQ(lines, as_kovox_prints(walk, work));

    const std::vector<std::string> files = regular_files(listings);
    const std::string dumped = work + "/dumped";
    fs::create_directories(dumped);
    std::vector<std::string> requests;
    for (std::size_t i = 0; i < files.size(); ++i) {
        requests.push_back("dump \"" + files[i] + "\" \"" + dumped + "/" + std::to_string(i) + "\"");
    }
    ask_debugfs(oracle, requests, work);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string here = work + "/here";
        fs::remove_all(here);
        fs::create_directories(here);
        EXPECT_EQ(run_in(here, "kovox", {"-READ", "hda1.img", files[i]}).status, 0);
        EXPECT_TRUE(contents_of(copied_file(here, files[i])) == contents_of(dumped + "/" + std::to_string(i)))
            << files[i];
    }
    EXPECT_TRUE(contents_of(device) == stored) << "the image was written";
}

}  // namespace whole_program
