#include "test_users.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace lockbin_test {

namespace {

int quiet(const std::string& command)
{
    return std::system(("( " + command + " ) >/dev/null 2>&1").c_str());
}

} // namespace

test_users::test_users()
{
    if (::geteuid() != 0) {
        failure_ = "needs root to make test users";
        return;
    }
    if (quiet("command -v useradd && command -v userdel") != 0) {
        failure_ = "needs useradd and userdel (package passwd)";
        return;
    }
    std::string stem = "lkbt" + std::to_string(::getpid());
    if (!make(stem + "a", &a_) || !make(stem + "b", &b_))
        failure_ = "useradd did not make the test users";
}

test_users::~test_users()
{
    for (const test_user* u : {&a_, &b_}) {
        if (u->name.empty())
            continue;
        // -f: a file-system process the service started for the user may still be ending.
        quiet("userdel -r -f " + u->name);
    }
}

bool test_users::make(const std::string& name, test_user* user)
{
    quiet("userdel -r -f " + name); // a leftover of an interrupted run
    if (quiet("useradd -m -U -s /bin/sh " + name) != 0)
        return false;
    passwd* pw = ::getpwnam(name.c_str());
    if (pw == nullptr)
        return false;
    user->name = name;
    user->uid = pw->pw_uid;
    user->gid = pw->pw_gid;
    user->home = pw->pw_dir;
    return true;
}

bool test_users::usable(std::string* why) const
{
    if (failure_.empty())
        return true;
    *why = failure_;
    return false;
}

bool become(const test_user& user)
{
    if (::setgroups(1, &user.gid) != 0 || ::setresgid(user.gid, user.gid, user.gid) != 0 ||
        ::setresuid(user.uid, user.uid, user.uid) != 0)
        return false;
    ::setenv("HOME", user.home.c_str(), 1);
    return true;
}

int run_as(const test_user& user, const std::function<int()>& body, int seconds)
{
    pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0)
        ::_exit(become(user) ? body() : 125);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace lockbin_test
