// Starting side programs. A bare program name is searched in the setup
// program's own folder first, then in STANDIN_FOLDER_FROM_PREFIX beside that
// folder (each only when the folder and the file are safe from other users),
// then in the absolute folders of PATH; the working folder is never searched. Every argument reaches the child unchanged as one
// argument, and children start with default signal dispositions and an empty
// signal mask. Main thread only: the detached starts fork.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class ChildStdio {
  Inherit,  // the console of the setup program
  Null,     // standard input, output and error on /dev/null
};

// Where an installation keeps the stand-ins of the side programs, relative
// to the folder that holds the program's folder (bin/ and libexec/reeftown/
// of one prefix); a build keeps them beside the program.
inline constexpr std::string_view STANDIN_FOLDER_FROM_PREFIX = "libexec/reeftown";

// The user's primary group when it is private to the user: nobody else is
// listed in it or has it as primary group. A folder or program that only
// this group may write, besides its owner, is as safe as one that only the
// owner may write (umask 002 makes such files). None otherwise.
std::optional<gid_t> private_group();

// The folder of the running program, from /proc/self/exe; none when it
// cannot be read.
std::optional<std::filesystem::path> own_folder();

// The search rule with its inputs given: `own` (may be none), the value of
// PATH and the group that counts as private (`writable_group`). None for a name that is empty
// or holds a '/', and when no folder holds an executable regular file of
// that name.
std::optional<std::filesystem::path> find_program_in(
    std::string_view name, const std::optional<std::filesystem::path>& own,
    std::string_view path_list, std::optional<gid_t> writable_group = private_group());

// find_program_in with the running program's folder and this process's PATH.
std::optional<std::filesystem::path> find_program(std::string_view name);

// Starts `program` (a path, used as given) with `args` and waits for it.
// The exit code; none when it could not be started or ended by a signal.
std::optional<int> run_and_wait(const std::filesystem::path& program,
                                const std::vector<std::string>& args,
                                ChildStdio stdio = ChildStdio::Inherit);

// find_program, then run_and_wait; none when the program is not found.
std::optional<int> run_program(std::string_view name, const std::vector<std::string>& args,
                               ChildStdio stdio = ChildStdio::Inherit);

// Starts the bare-named program with `args` in a session of its own, standard
// input on /dev/null, output and error shared, and never waits for it. An
// intermediate process that ends at once makes the child an orphan that the
// system reaps, so no zombie is left here. True when the child started.
bool start_program_detached(std::string_view name, const std::vector<std::string>& args);

// Starts the program at `program` with no arguments in `working_dir`,
// sharing the console, never waited for and leaving no zombie, like
// start_program_detached. True when the child started.
bool start_detached(const std::filesystem::path& program, const std::filesystem::path& working_dir);
