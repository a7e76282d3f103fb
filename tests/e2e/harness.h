// Runs the built program in a directory of its own and collects what it
// did: exit status, both streams, and the files it left.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

struct run_result {
    int status;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// A fresh temporary directory, removed with everything in it at the end.
struct scratch_dir {
    std::string path;
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    std::string at(const std::string& name) const { return path + "/" + name; }
    std::set<std::string> listing() const;
};

// A started run whose streams are collected when it is waited for.
struct running_program {
    pid_t pid;
    int out_fd;
    int err_fd;
};

// Who the program runs as: the tests' own user, or, when the tests run as
// root, the unprivileged user nobody, for cases that need permission bits
// to count.
enum class as_user { self, unprivileged };

// Starts the program in dir with the given arguments (the program's path
// is added in front) and standard input from /dev/null.
running_program start_program(const std::string& dir, const std::vector<std::string>& args,
                              as_user user = as_user::self);
run_result wait_program(running_program program);

run_result run_program(const std::string& dir, const std::vector<std::string>& args, as_user user = as_user::self);

// Whether as_user::unprivileged really drops privileges here.
bool can_drop_privileges();
inline constexpr unsigned NOBODY_ID = 65534;
