// What only a POSIX system can show of the properties store: a save through
// links and as another user (owners, modes, sticky directories).
#include <pwd.h>
#include <sys/stat.h>

#include "kavrel_fixture.h"

using namespace test;

namespace {

class PosixProps : public ContextTest {
  protected:
    void SetUp() override { ASSERT_EQ(open(), 0u); }
};

// Runs body in a child process that leaves with _exit.
template <class Body>
pid_t child(Body body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    return pid;
}

// Runs body in a child process as the user nobody: its exit code.
template <class Body>
int as_nobody(Body body) {
    return exit_code(child([&] {
        const passwd *pw = ::getpwnam("nobody");
        if (pw == nullptr || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0) return 99;
        return body();
    }));
}

// A save goes through a link to its target, keeps the owner, never follows
// or keeps a temporary file left behind, never replaces a file the process
// may not write (the property stays held), and writes in place where a
// shared directory refuses the move.
TEST_F(PosixProps, SavesRespectLinksOwnersAndPermissions) {
    if (::geteuid() != 0) GTEST_SKIP() << "playing another user needs root";
    const passwd *nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    fs::create_directory(dir_ / "real");
    write(dir_ / "real/props", "a=1\n");
    ASSERT_EQ(::chown((dir_ / "real/props").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(::chmod((dir_ / "real/props").c_str(), 0640), 0);
    fs::remove(propfile());
    fs::create_symlink("real/props", propfile());
    fs::create_symlink("../victim", dir_ / "real/props.tmp");
    write(dir_ / "victim", "v\n");
    EXPECT_EQ(kavrel_store_prop(ctx_, "b", "2"), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(propfile().c_str(), &st), 0);
    EXPECT_TRUE(fs::is_symlink(propfile()));
    EXPECT_EQ(slurp(propfile()) + slurp(dir_ / "victim"), "a=1\nb=2\nv\n");
    EXPECT_EQ(st.st_uid * 10000 + (st.st_mode & 0777), nobody->pw_uid * 10000 + 0640);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "real/props.tmp")));
    const auto store_as_nobody = [&] {
        return as_nobody([&] {
            KAVREL_CTX *own = nullptr;
            kavrel_init(&own, "Prod", "q", dir_.str().c_str(), nullptr, nullptr, "en_US", nullptr,
                        capture);
            const uint32_t status = kavrel_store_prop(own, "k", "new");
            char value[8] = "";
            kavrel_retrieve_prop(own, "k", value, 7);
            kavrel_free(&own);
            return static_cast<int>(status % 1000) + (std::string(value) == "new" ? 0 : 100);
        });
    };
    // A file nobody may write in a directory it may; then a sticky directory
    // (nobody may not move root's file) and a file it may write.
    const std::string other = write(dir_ / "q_tavro.properties", "k=old\n");
    for (const auto &[dir_mode, file_mode, status, after] :
         {std::tuple(0777u, 0444u, 244, "k=old\n"), std::tuple(01777u, 0666u, 0, "k=new\n")}) {
        ASSERT_EQ(::chmod(dir_.str().c_str(), dir_mode) + ::chmod(other.c_str(), file_mode), 0);
        EXPECT_EQ(store_as_nobody(), status);
        EXPECT_EQ(slurp(other), after);
    }
}

}  // namespace
