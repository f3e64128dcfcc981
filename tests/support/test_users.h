// Real unprivileged users for tests that play an attacker against the root service: two
// accounts made with useradd (names unique to this process) and removed with userdel -r when the
// object goes, and a way to run a piece of a test as one of them in a child process.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace lockbin_test {

struct test_user {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
};

class test_users {
public:
    // Makes the users where it can (root, useradd present); usable() says why not otherwise.
    test_users();
    ~test_users();
    test_users(const test_users&) = delete;
    test_users& operator=(const test_users&) = delete;

    bool usable(std::string* why) const;
    const test_user& attacker() const { return a_; }
    const test_user& victim() const { return b_; }

private:
    bool make(const std::string& name, test_user* user);

    test_user a_;
    test_user b_;
    std::string failure_;
};

// Drops the calling (child) process to the user for good: groups, gid, uid, all three ids of
// each, and HOME. False when a step failed.
bool become(const test_user& user);

// Runs `body` in a forked child that has dropped to the user (groups, gid, uid, all three ids
// of each) and returns its exit status: body's result, or -1 when it did not end within
// `seconds` (it is killed then) or died of a signal.
int run_as(const test_user& user, const std::function<int()>& body, int seconds = 30);

} // namespace lockbin_test
