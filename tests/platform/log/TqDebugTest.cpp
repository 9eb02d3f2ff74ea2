#include "TqDebug.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <sstream>

#include "LogCapture.h"
#include "TempDir.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Runs the probe through the shell with the given environment settings; returns what it wrote
// to stdout and stderr, and its exit status through `status`.
std::string RunProbe(const std::string& env, const std::string& mode, int* status) {
    const std::string cmd = "env -u TQDEBUG_FILE -u TQDEBUG_LEVEL " + env + " timeout -s KILL 30 " +
                            TQDEBUG_PROBE + " " + mode + " 2>&1";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        out.append(buf, n);
    }
    *status = ::pclose(pipe);
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

const std::string kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} \[pid \d+ tid \d+\] )";

}  // namespace

TEST(TqDebugSink, ReceivesEveryCallUnfilteredAndRestores) {
    TqDebug log(nullptr);
    {
        LogCapture capture;
        log.DebugLvl("f()", 9, "deep %d", 9);  // far above the default threshold
        log.Error("g(int)", "bad [%s] %d", "x", -3);
        const auto records = capture.Records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].kind, TqDebugRecord::Debug);
        EXPECT_EQ(records[0].level, 9);
        EXPECT_EQ(records[0].function, "f()");
        EXPECT_EQ(records[0].message, "deep 9");
        EXPECT_EQ(records[1].kind, TqDebugRecord::Error);
        EXPECT_EQ(records[1].level, -1);
        EXPECT_EQ(records[1].message, "bad [x] -3");
    }
    // The capture restored the default; setting a sink hands back the one before it.
    int calls = 0;
    TqDebugSink first = [&calls](const TqDebugRecord&) { ++calls; };
    EXPECT_FALSE(TqDebugSetSink(first));
    TqDebugSink previous = TqDebugSetSink(TqDebugSink());
    ASSERT_TRUE(previous);
    previous(TqDebugRecord{TqDebugRecord::Error, -1, "", ""});
    EXPECT_EQ(calls, 1);
}

// A host's sink takes what its level takes, beside the others, until it is removed.
TEST(TqDebugSink, AddedSinksTakeWhatTheirLevelTakes) {
    TqDebug log(nullptr);
    std::vector<std::string> got;
    const TqDebug::SinkId id =
        TqDebug::AddSink([&got](const TqDebugRecord& record) { got.push_back(record.message); }, 1);
    log.DebugLvl("f()", 2, "two");
    log.DebugLvl("f()", 1, "one");
    log.Error("f()", "error");
    ASSERT_TRUE(TqDebug::SetSinkLevel(id, TqDebug::kSilent));
    log.Error("f()", "silenced");
    EXPECT_TRUE(TqDebug::RemoveSink(id));
    EXPECT_FALSE(TqDebug::RemoveSink(id));
    EXPECT_FALSE(TqDebug::SetSinkLevel(id, 0));
    EXPECT_THAT(got, ElementsAre("one", "error"));
}

TEST(TqDebugSink, LongMessagesAreFormattedWhole) {
    LogCapture capture;
    TqDebug log(nullptr);
    const std::string big(10000, 'z');
    log.Error("f()", "[%s]", big.c_str());
    ASSERT_EQ(capture.Records().size(), 1u);
    EXPECT_EQ(capture.Records()[0].message, "[" + big + "]");
}

TEST(TqDebugDestination, FileAndThresholdFromEnvironment) {
    TempDir dir;
    const std::string file = dir.File("agent.log");
    int status = 0;
    const std::string out = RunProbe("TQDEBUG_FILE=" + file + " TQDEBUG_LEVEL=2", "basic", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");  // nothing on stderr when a file is named
    const auto lines = Lines(ReadFileText(file));
    ASSERT_EQ(lines.size(), 3u) << ReadFileText(file);
    struct stat made {};
    EXPECT_EQ(::stat(file.c_str(), &made) == 0 ? made.st_mode & 0777 : 0u, 0600u);
    EXPECT_TRUE(std::regex_match(
        lines[0],
        std::regex(kStamp +
                   R"(ERROR   int main\(int, char\*\*\): error 7 \[text\] password=\*\*\*)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(kStamp + "DEBUG-0 int main.*: level zero")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(kStamp + "DEBUG-2 int main.*: level two")))
        << lines[2];

    // The file is appended to, never truncated.
    RunProbe("TQDEBUG_FILE=" + file + " TQDEBUG_LEVEL=2", "basic", &status);
    EXPECT_EQ(Lines(ReadFileText(file)).size(), 6u);
}

TEST(TqDebugDestination, DefaultIsStderrWithThresholdZero) {
    int status = 0;
    const auto lines = Lines(RunProbe("", "basic", &status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], HasSubstr("ERROR   int main(int, char**): error 7 [text] password=***"));
    EXPECT_THAT(lines[1], HasSubstr("DEBUG-0 int main(int, char**): level zero"));
}

TEST(TqDebugDestination, StderrInPlaceOfAnUnsafeFile) {
    TempDir dir;
    const std::string shared = dir.File("shared"), link = dir.File("link"), fifo = dir.File("fifo");
    std::fclose(std::fopen(shared.c_str(), "w"));
    ASSERT_EQ(::chmod(shared.c_str(), 0666) | ::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(shared.c_str(), link.c_str()), 0);
    const std::pair<std::string, std::string> cases[] = {{link, "it is a symbolic link"},
                                                         {fifo, "it is not a regular file"},
                                                         {shared, "group or others may write it"}};
    for (const auto& [path, why] : cases) {
        int status = 0;
        const auto lines = Lines(RunProbe("TQDEBUG_FILE=" + path, "basic", &status));
        ASSERT_EQ(lines.size(), 3u) << path;
        EXPECT_THAT(lines[0], HasSubstr(path + " is not used (" + why + ")"));
        EXPECT_THAT(lines[1], HasSubstr("ERROR   int main(int, char**): error 7 [text]"));
    }
    EXPECT_EQ(ReadFileText(shared), "");
}

TEST(TqDebugDestination, FilteredRecordIsNeverFormatted) {
    int status = 0;
    const auto lines = Lines(RunProbe("", "filtered", &status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr("survived"));
}

TEST(TqDebugDestination, RecordsFromManyThreadsStayWhole) {
    TempDir dir;
    const std::string file = dir.File("threads.log");
    int status = 0;
    RunProbe("TQDEBUG_FILE=" + file, "threads", &status);
    EXPECT_EQ(status, 0);
    const auto lines = Lines(ReadFileText(file));
    ASSERT_EQ(lines.size(), 8u * 200u);
    const std::regex prefix(kStamp + "ERROR   int main\\(int, char\\*\\*\\): ");
    size_t broken = 0;
    for (const auto& line : lines) {
        const size_t open = line.find('<');
        const bool whole = open != std::string::npos && line.size() == open + 3002 &&
                           line.back() == '>' &&
                           line.find_first_not_of(line[open + 1], open + 1) == open + 3001 &&
                           std::regex_match(line.substr(0, open), prefix);
        broken += whole ? 0 : 1;
    }
    EXPECT_EQ(broken, 0u);

    // A child forked while threads log must not inherit a lock no thread of its own will release.
    EXPECT_EQ(RunProbe("TQDEBUG_FILE=" + dir.File("fork.log"), "fork", &status), "");
    EXPECT_EQ(status, 0);  // the number of children that did not exit 0, times 256
    // One record from each child, with the child's own pid and tid (those it logged), not the
    // parent's or its forking thread's.
    const auto forked = Lines(ReadFileText(dir.File("fork.log")));
    const std::regex ids(R"(.* \[pid (\d+) tid (\d+)\] ERROR   .*: (forking|# (\d+) (\d+)|<0+>))");
    std::smatch m;
    ASSERT_TRUE(!forked.empty() && std::regex_match(forked[0], m, ids) && m[3] == "forking");
    const std::string parent = m[1], forker = m[2];
    size_t children = 0;
    for (const auto& line : forked) {
        ASSERT_TRUE(std::regex_match(line, m, ids)) << line;
        if (m[4].matched) {
            ++children;
            EXPECT_TRUE(m[1] == m[4] && m[2] == m[5] && m[1] != parent && m[2] != forker) << line;
        } else {
            EXPECT_EQ(m[1], parent) << line;
        }
    }
    EXPECT_EQ(children, 200u);
}

TEST(TqDebugDestination, RecordsLongerThanAnyBeforeAreWrittenWholeAndMasked) {
    TempDir dir;
    int status = 0;
    RunProbe("TQDEBUG_FILE=" + dir.File("long.log"), "long", &status);
    EXPECT_EQ(status, 0);
    const auto lines = Lines(ReadFileText(dir.File("long.log")));
    const std::string body = "token=*** <" + std::string(3 << 20, 'L') + ">";
    const std::string messages[] = {"Cookie: ***", body, "2 " + body, "short again"};
    ASSERT_EQ(lines.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const size_t end = lines[i].find(": ") + 2;
        EXPECT_TRUE(
            std::regex_match(lines[i].substr(0, end),
                             std::regex(kStamp + R"(ERROR   int main\(int, char\*\*\): )")));
        EXPECT_TRUE(lines[i].compare(end, std::string::npos, messages[i]) == 0) << i;
    }
}

// No memory to mask a record or to copy it for a sink, or a sink that throws: the record is
// dropped where it cannot be made or has no other sink, never written unmasked; beside other
// sinks, a throwing one is isolated. The caller goes on, and the log says so once and counts.
TEST(TqDebugDestination, RecordsThatCannotBeMadeOrDeliveredAreDroppedAndCounted) {
    int status = 0;
    const auto lines = Lines(RunProbe("", "failing", &status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0],
              "TqDebug: a record was dropped (no memory for it); further drops are "
              "counted, and their number is written at exit");
    EXPECT_THAT(lines[1], HasSubstr("ERROR   int main(int, char**): plain 1, a message longer"));
    EXPECT_THAT(lines[2], HasSubstr("ERROR   int main(int, char**): token=*** again"));
    EXPECT_EQ(lines[3], "sink: kept");
    EXPECT_THAT(lines[4], HasSubstr("ERROR   int main(int, char**): survived"));
    EXPECT_THAT(lines[5], HasSubstr("ERROR   int main(int, char**): beside a throwing sink"));
    EXPECT_EQ(lines[6],
              "TqDebug: sink 3 failed (it threw); it keeps its records, its failures are "
              "counted, and their number is written at exit");
    EXPECT_EQ(lines[7], "next: beside a throwing sink");
    EXPECT_THAT(lines[8], HasSubstr("DEBUG-0 int main(int, char**): again"));
    EXPECT_EQ(lines[9], "next: again");
    EXPECT_THAT(lines[10], HasSubstr("ERROR   int main(int, char**): written, but its copy"));
    EXPECT_EQ(lines[11], "failures: 2");
    EXPECT_EQ(lines[12], "TqDebug: 6 records were dropped");
    EXPECT_EQ(lines[13], "TqDebug: sinks failed 2 times");

    // Standard error whose reader is gone is a failing sink too, not a SIGPIPE that ends the
    // process, at the record or at exit.
    EXPECT_EQ(RunProbe("", "nopipe", &status), "survived, the failure counted 1 time(s)\n");
    EXPECT_EQ(status, 0);
}

// A program that silences standard error leaves the file alone: records go to the file when one
// is used and nowhere otherwise, and a refused file says where its records went.
TEST(TqDebugDestination, SilencedStderrLeavesTheFile) {
    TempDir dir;
    const std::string file = dir.File("agent.log"), shared = dir.File("shared");
    std::fclose(std::fopen(shared.c_str(), "w"));
    ASSERT_EQ(::chmod(shared.c_str(), 0666), 0);
    int status = 0;
    EXPECT_EQ(RunProbe("TQDEBUG_FILE=" + file, "quiet", &status), "");
    EXPECT_EQ(Lines(ReadFileText(file)).size(), 2u);
    EXPECT_EQ(RunProbe("", "quiet", &status), "");
    EXPECT_EQ(RunProbe("TQDEBUG_FILE=" + shared, "quiet", &status),
              "TqDebug: TQDEBUG_FILE " + shared +
                  " is not used (group or others may write it); no record is written\n");
}
