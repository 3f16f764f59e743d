// The service's pipe-buffer helper call (`zfsrep --pipe-buffer BYTES PROGRAM
// ...`), run in a child process as a pipeline would run it.
#include "pipebuffer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

int call(std::vector<std::string> words)
{
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return PipeBuffer::run(int(words.size()), argv.data());
}

TEST(PipeBuffer, WidensBothPipesThenBecomesTheProgram)
{
    int in[2];
    int out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(::fcntl(in[1], F_GETPIPE_SZ), 65536) << "a new pipe has the system's default size";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1]})
            ::close(fd);
        ::_exit(call({"zfsrep", PipeBuffer::kOption, "1048576", "sh", "-c", "printf ran"}));
    }
    ::close(in[0]);
    ::close(out[1]);
    char text[8] = {};
    const ssize_t got = ::read(out[0], text, sizeof text - 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(std::string(text, got > 0 ? size_t(got) : 0), "ran") << "the program ran in the helper's place";
    // Each pipe is one object for both its ends: the writer before the
    // helper and the reader after it see the new size.
    EXPECT_EQ(::fcntl(in[1], F_GETPIPE_SZ), 1048576);
    EXPECT_EQ(::fcntl(out[0], F_GETPIPE_SZ), 1048576);
    ::close(in[1]);
    ::close(out[0]);
}

TEST(PipeBuffer, MalformedCallsAreRefusedWithoutRunningAnything)
{
    const std::vector<std::vector<std::string>> refused{
        {"zfsrep", PipeBuffer::kOption},
        {"zfsrep", PipeBuffer::kOption, "1048576"},
        {"zfsrep", PipeBuffer::kOption, "many", "true"},
        {"zfsrep", PipeBuffer::kOption, "1M", "true"},
        {"zfsrep", PipeBuffer::kOption, "0", "true"},
        {"zfsrep", PipeBuffer::kOption, "-4096", "true"},
        {"zfsrep", PipeBuffer::kOption, "99999999999", "true"},
    };
    for (const auto &words : refused) {
        SCOPED_TRACE(words.size() > 2 ? words[2] : std::string("(no size)"));
        EXPECT_EQ(call(words), 64);
    }
}

TEST(PipeBuffer, OnlyTheOptionInFirstPlaceSelectsTheHelper)
{
    const auto isCall = [](std::vector<std::string> words) {
        std::vector<char *> argv;
        for (std::string &word : words)
            argv.push_back(word.data());
        return PipeBuffer::isCall(int(argv.size()), argv.data());
    };
    EXPECT_TRUE(isCall({"zfsrep", "--pipe-buffer", "1048576", "pv"}));
    EXPECT_FALSE(isCall({"zfsrep"}));
    EXPECT_FALSE(isCall({"zfsrep", "--cfg", "/etc/zfsrep.json"}));
    EXPECT_FALSE(isCall({"zfsrep", "--cfg", "--pipe-buffer"}));
}

} // namespace
