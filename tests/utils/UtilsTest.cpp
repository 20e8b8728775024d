#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <locale>
#include <string>
#include <vector>

#include "common/Child.h"
#include "common/TestEnv.h"
#include "common/Volumes.h"
#include "utils/Utf8.h"
#include "utils/Utils.h"

namespace android {
namespace {

using Pieces = std::vector<std::string>;
using namespace Utils;
using tonvale_test::expectVolume;

TEST(TrimStrTest, RemovesOnlyTheFourWhiteSpaceCharactersAtTheEnds) {
    EXPECT_EQ("x", StringProcess::trimStr("\t x \r\n"));
    EXPECT_EQ("a b", StringProcess::trimStr("  a b \n"));
    EXPECT_EQ("", StringProcess::trimStr(""));
    // Vertical tab, form feed and NUL are not white space here.
    EXPECT_EQ("\vx\f", StringProcess::trimStr("\vx\f"));
    EXPECT_EQ(std::string("x\0", 2), StringProcess::trimStr(std::string(" x\0 ", 4)));
}

TEST(TrimStrTest, AllWhiteSpaceTextComesBackUnchanged) {
    EXPECT_EQ("   ", StringProcess::trimStr("   "));
    EXPECT_EQ("\r\n", StringProcess::trimStr("\r\n"));
}

TEST(SplitTest, KeepsEmptyPiecesAndNeverReturnsNothing) {
    EXPECT_EQ(Pieces{""}, StringProcess::split("", "\n"));
    EXPECT_EQ((Pieces{"a", ""}), StringProcess::split("a\n", "\n"));
    EXPECT_EQ((Pieces{"", "b"}), StringProcess::split("\nb", "\n"));
    EXPECT_EQ((Pieces{"a", "b", "c"}), StringProcess::split("a|b|c", "|"));
    EXPECT_EQ((Pieces{"a", "", "b"}), StringProcess::split("a,,b", ","));
    EXPECT_EQ((Pieces{"", ""}), StringProcess::split(",", ","));
    EXPECT_EQ(Pieces{"abc"}, StringProcess::split("abc", ";"));
}

TEST(SplitTest, TakesLongerDelimitersWhole) {
    EXPECT_EQ((Pieces{"x", "y", ""}), StringProcess::split("x::y::", "::"));
}

TEST(SplitTest, EmptyDelimiterEnds) {
    EXPECT_FALSE(StringProcess::split("abc", "").empty());
}

TEST(SplitTest, ListingLineGivesItsPidAfterTrimming) {
    Pieces p = StringProcess::split(StringProcess::trimStr("  1234 tonvale --service"), " ");
    EXPECT_EQ("1234", p[0]);
}

TEST(ContainsTest, ByteExactSubstring) {
    EXPECT_TRUE(StringProcess::contains("com.a:svc", ":"));
    EXPECT_TRUE(StringProcess::contains("", ""));
    EXPECT_TRUE(StringProcess::contains("abc", ""));
    EXPECT_FALSE(StringProcess::contains("a", "ab"));
    EXPECT_FALSE(StringProcess::contains("ABC", "b"));
    EXPECT_TRUE(StringProcess::contains(std::string("a\0b", 3), std::string("\0b", 2)));
}

// Each boundary of the encoding, on both sides: the first and last of each length, the
// overlong forms just below them, the surrogates and the end of Unicode.
TEST(Utf8Test, AcceptsExactlyTheWellFormedSequences) {
    const struct {
        const char* text;
        size_t length;  // of the sequence at 0; 0 when none starts there
    } cases[] = {
        {"a", 1},
        {"\x7f", 1},
        {"\xc2\x80", 2},          // U+0080
        {"\xc1\xbf", 0},          // overlong U+007F
        {"\xdf\xbf", 2},          // U+07FF
        {"\xe0\xa0\x80", 3},      // U+0800
        {"\xe0\x9f\xbf", 0},      // overlong U+07FF
        {"\xed\x9f\xbf", 3},      // U+D7FF
        {"\xed\xa0\x80", 0},      // U+D800, a surrogate
        {"\xee\x80\x80", 3},      // U+E000
        {"\xf0\x90\x80\x80", 4},  // U+10000
        {"\xf0\x8f\xbf\xbf", 0},  // overlong U+FFFF
        {"\xf4\x8f\xbf\xbf", 4},  // U+10FFFF
        {"\xf4\x90\x80\x80", 0},  // past U+10FFFF
        {"\xf5\x80\x80\x80", 0},
        {"\x80", 0},          // a lone continuation byte
        {"\xe2\x82", 0},      // cut short
        {"\xe2\x28\xa1", 0},  // a continuation byte missing in the middle
    };
    for (const auto& c : cases) {
        const std::string text = c.text;
        EXPECT_EQ(c.length, utf8SequenceLength(text, 0)) << testing::PrintToString(text);
        EXPECT_EQ(c.length == text.size(), isValidUtf8(text)) << testing::PrintToString(text);
        // The same bytes between valid text.
        EXPECT_EQ(c.length == text.size(), isValidUtf8("caf\xc3\xa9" + text + "x"))
            << testing::PrintToString(text);
    }
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_EQ(0u, utf8SequenceLength("ab", 2));
    EXPECT_FALSE(isValidUtf8(std::string("caf\xc3\xa9") + "\xc3"));
}

TEST(NumToStringTest, StreamDefaultForm) {
    EXPECT_EQ("0.1", Caster::numToString<float>(0.1f));
    EXPECT_EQ("100", Caster::numToString<float>(100.0f));
    EXPECT_EQ("1", Caster::numToString<float>(1.0f));
    EXPECT_EQ("0.5", Caster::numToString<float>(0.5f));
    EXPECT_EQ("0.01", Caster::numToString<float>(0.01f));
    EXPECT_EQ("1e-05", Caster::numToString<float>(0.00001f));
    EXPECT_EQ("1e+06", Caster::numToString<float>(1000000.0f));
    EXPECT_EQ("0.123457", Caster::numToString<float>(0.123456789f));
    EXPECT_EQ("-42", Caster::numToString<int>(-42));
    EXPECT_EQ("1234567", Caster::numToString<int>(1234567));
}

// A host program may switch the global locale; the settings text must not change with it.
struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(NumToStringTest, IgnoresTheGlobalLocale) {
    std::locale old = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    const std::string big = Caster::numToString<int>(1234567);
    const std::string half = Caster::numToString<float>(0.5f);
    const float back = Caster::stringToNum<float>("0.25");
    const std::string addr = Caster::addressToString(reinterpret_cast<void*>(0x123456));
    std::locale::global(old);
    EXPECT_EQ("1234567", big);
    EXPECT_EQ("0.5", half);
    EXPECT_FLOAT_EQ(0.25f, back);
    EXPECT_EQ("0x123456", addr);
}

TEST(StringToNumTest, ReadsOneValueOrZero) {
    EXPECT_EQ(0.0f, Caster::stringToNum<float>(""));
    EXPECT_FLOAT_EQ(0.25f, Caster::stringToNum<float>(" 0.25"));
    EXPECT_EQ(0.0f, Caster::stringToNum<float>("abc"));
    EXPECT_EQ(0.0f, Caster::stringToNum<float>("   "));
    EXPECT_FLOAT_EQ(0.01f, Caster::stringToNum<float>("1e-2"));
    EXPECT_FLOAT_EQ(0.5f, Caster::stringToNum<float>("0.5\r"));
    EXPECT_EQ(1, Caster::stringToNum<int>("1"));
    EXPECT_EQ(0, Caster::stringToNum<int>("true"));
    EXPECT_EQ(12, Caster::stringToNum<int>("12 more"));
    EXPECT_EQ(-7, Caster::stringToNum<int>("-7"));
    EXPECT_EQ(3, Caster::stringToNum<int>("+3"));
    EXPECT_EQ(1, Caster::stringToNum<int>("1.9"));
}

TEST(StringToNumTest, OutOfRangeIntegerSaturates) {
    EXPECT_EQ(INT_MAX, Caster::stringToNum<int>("99999999999"));
    EXPECT_EQ(INT_MIN, Caster::stringToNum<int>("-99999999999"));
}

TEST(CasterTest, HexAndAddressText) {
    EXPECT_EQ("FF", Caster::int_16toString(255));
    EXPECT_EQ("0", Caster::int_16toString(0));
    EXPECT_EQ("FFFFFFFF", Caster::int_16toString(-1));
    EXPECT_EQ("7FFFFFFF", Caster::int_16toString(INT_MAX));
    EXPECT_EQ("0xabcdef", Caster::addressToString(reinterpret_cast<void*>(0xabcdef)));
}

TEST(ProfileLineTest, FourFieldsWithFlagAsOneOrZero) {
    tonvale_process_volume_t v;
    v.reserved = 9;
    v.left = 0.5f;
    v.right = 0.5f;
    v.general = 1.0f;
    EXPECT_EQ("0.5,0.5,1,0", Caster::volumeToProfileLineStr(v));
    v.split_control = true;
    v.general = 0.2f;
    EXPECT_EQ("0.5,0.5,0.2,1", Caster::volumeToProfileLineStr(v));
}

TEST(ParamToVolumeTest, SingleFileForm) {
    expectVolume(Caster::paramToVolumeSingleFile("0.5,0.25,1,0"), 0.5f, 0.25f, 1.0f, false);
    expectVolume(Caster::paramToVolumeSingleFile("1,1,0.2,1"), 1.0f, 1.0f, 0.2f, true);
    // Only exactly 1 sets the flag; a trailing carriage return stops the number reader.
    EXPECT_FALSE(Caster::paramToVolumeSingleFile("1,1,1,2").split_control);
    EXPECT_TRUE(Caster::paramToVolumeSingleFile("1,1,1,1\r").split_control);
    expectVolume(Caster::paramToVolumeSingleFile("x,0.5,0.5,1,7,8"), 0.0f, 0.5f, 0.5f, true);
}

TEST(ParamToVolumeTest, MissingFieldsKeepRecordDefaults) {
    expectVolume(Caster::paramToVolumeSingleFile("0.5"), 0.5f, 1.0f, 1.0f, false);
    expectVolume(Caster::paramToVolumeSingleFile("0.5,0.25"), 0.5f, 0.25f, 1.0f, false);
    expectVolume(Caster::paramToVolumeControlCmd("7,0.5"), 0.5f, 1.0f, 1.0f, false, 7);
    expectVolume(Caster::paramToVolumeControlCmd("3"), 1.0f, 1.0f, 1.0f, false, 3);
}

TEST(ParamToVolumeTest, ControlCommandForm) {
    expectVolume(Caster::paramToVolumeControlCmd("7,0.1,0.2,0.3,1"), 0.1f, 0.2f, 0.3f, true, 7);
    expectVolume(Caster::paramToVolumeControlCmd("-2,1,1,1,0,9"), 1.0f, 1.0f, 1.0f, false, -2);
}

TEST(CasterTest, ControlModeNames) {
    EXPECT_EQ("MODE_UNDER_SYSTEM", Caster::controlModeFlagsToString(0));
    EXPECT_EQ("UNKNOWN CTL FLAG!!!", Caster::controlModeFlagsToString(1));
    EXPECT_EQ("UNKNOWN CTL FLAG!!!", Caster::controlModeFlagsToString(0xFFFFFFFFu));
}

class FileUtilsTest : public testing::Test {
protected:
    void SetUp() override { path_ = tonvale_test::testRoot() + "/utils-file"; }
    std::string path_;
};

TEST_F(FileUtilsTest, MissingFileReadsEmpty) {
    EXPECT_EQ("", IO::readFromFile(tonvale_test::testRoot() + "/no-such-file"));
    EXPECT_EQ(Pieces{""}, StringProcess::getPreset(tonvale_test::testRoot() + "/no-such-file"));
}

TEST_F(FileUtilsTest, NulCutsOnlyItsOwnReadPiece) {
    ASSERT_TRUE(tonvale_test::writeFile(path_, std::string("ab\0cd\nef", 8)));
    EXPECT_EQ(
        "ab"
        "ef",
        IO::readFromFile(path_));
    // A piece ends after 1023 bytes: the NUL in the second piece cuts only that piece.
    std::string text(1023, 'a');
    text += std::string("b\0c\nd", 5);
    ASSERT_TRUE(tonvale_test::writeFile(path_, text));
    EXPECT_EQ(std::string(1023, 'a') + "b" + "d", IO::readFromFile(path_));
}

TEST_F(FileUtilsTest, WriteFileTruncatesAndStopsAtNul) {
    IO::writeFile(path_, "first text, long");
    IO::writeFile(path_, std::string("ab\0cd", 5));
    EXPECT_EQ("ab", tonvale_test::readFile(path_));
    IO::writeFile(path_, "");
    EXPECT_TRUE(tonvale_test::fileExists(path_));
    EXPECT_EQ("", tonvale_test::readFile(path_));
    IO::writeFile(tonvale_test::testRoot() + "/no-dir/x", "lost");
    EXPECT_FALSE(tonvale_test::fileExists(tonvale_test::testRoot() + "/no-dir/x"));
}

TEST_F(FileUtilsTest, GetPresetKeepsPiecesUntrimmed) {
    ASSERT_TRUE(tonvale_test::writeFile(path_, " a\r\n\nb\n"));
    EXPECT_EQ((Pieces{" a\r", "", "b", ""}), StringProcess::getPreset(path_));
    ASSERT_TRUE(tonvale_test::writeFile(path_, ""));
    EXPECT_EQ(Pieces{""}, StringProcess::getPreset(path_));
}

TEST(ProcessControlTest, CmdLineIsTheFirstArgument) {
    EXPECT_EQ(program_invocation_name, ProcessControl::getCmdLine(getpid()));
    // Above any pid_max the kernel allows.
    EXPECT_EQ("", ProcessControl::getCmdLine(INT_MAX));
    EXPECT_EQ("", ProcessControl::getCmdLine(-1));
}

TEST(ProcessControlTest, PackageNameIsThePartBeforeTheFirstColon) {
    EXPECT_EQ("com.a", ProcessControl::extractPackageName("com.a"));
    EXPECT_EQ("com.a", ProcessControl::extractPackageName("com.a:svc:2"));
    EXPECT_EQ("com.example.app", ProcessControl::extractPackageName("com.example.app:remote"));
    EXPECT_EQ("", ProcessControl::extractPackageName(":x"));
    EXPECT_EQ("", ProcessControl::extractPackageName(""));
}

/**
 * A child running /bin/sleep under an awkward program name (the name of a link to it, which
 * the kernel shows in /proc/<pid>/stat), killed and reaped at the end.
 */
tonvale_test::ChildGuard sleepingChild(const std::string& program) {
    const std::string link = tonvale_test::testRoot() + "/" + program;
    unlink(link.c_str());
    if (symlink("/bin/sleep", link.c_str()) != 0) return tonvale_test::ChildGuard();
    return tonvale_test::startNamedChild(program, link);
}

double bootSeconds() {
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(ProcessControlTest, StatGivesStateAndStartTimeWhateverTheProgramName) {
    ProcessControl::ProcessStat own;
    EXPECT_EQ(0, ProcessControl::readProcessStat(getpid(), &own));

    // The kernel shows the name in parentheses, unescaped; it may hold ") " and digits.
    const double before = bootSeconds();
    tonvale_test::ChildGuard child = sleepingChild("a) Z 1 (b");
    const double after = bootSeconds();
    ASSERT_TRUE(child.running());
    // Once it runs under its name (after exec), field 22 in clock ticks after boot: when the
    // child was forked, which exec keeps.
    ProcessControl::ProcessStat stat;
    ASSERT_EQ(0, ProcessControl::readProcessStat(child.pid(), &stat));
    EXPECT_TRUE(stat.state == 'R' || stat.state == 'S') << stat.state;
    const double started = static_cast<double>(stat.startTime) / sysconf(_SC_CLK_TCK);
    EXPECT_GE(started, before - 0.05);
    EXPECT_LE(started, after + 0.05);

    ProcessControl::ProcessStat again;
    ASSERT_EQ(0, kill(child.pid(), SIGKILL));
    ASSERT_TRUE(tonvale_test::waitEndedUnreaped(child.pid()));
    ASSERT_EQ(0, ProcessControl::readProcessStat(child.pid(), &again));
    EXPECT_EQ('Z', again.state);
    EXPECT_EQ(stat.startTime, again.startTime);
    const pid_t gone = child.pid();
    child.stop();
    EXPECT_EQ(ENOENT, ProcessControl::readProcessStat(gone, &again));
    EXPECT_EQ(ENOENT, ProcessControl::readProcessStat(0, &again));
    EXPECT_EQ(ENOENT, ProcessControl::readProcessStat(-1, &again));
}

TEST(ProcessControlTest, GoneOnlyWhenTheKernelSaysSo) {
    tonvale_test::ChildGuard child = sleepingChild("gone-check");
    ASSERT_TRUE(child.running());
    EXPECT_FALSE(ProcessControl::processGone(child.pid()));
    ASSERT_EQ(0, kill(child.pid(), SIGKILL));
    ASSERT_TRUE(tonvale_test::waitEndedUnreaped(child.pid()));
    EXPECT_FALSE(ProcessControl::processGone(child.pid()));  // a zombie holds its pid
    const pid_t gone = child.pid();
    child.stop();
    EXPECT_TRUE(ProcessControl::processGone(gone));
    EXPECT_TRUE(ProcessControl::processGone(INT_MAX));
    // Not process ids: never taken as an answer.
    EXPECT_FALSE(ProcessControl::processGone(0));
    EXPECT_FALSE(ProcessControl::processGone(-1));
    EXPECT_FALSE(ProcessControl::processGone(-gone));
}

TEST(ProcessControlTest, PidFdReportsTheExit) {
    tonvale_test::ChildGuard child = sleepingChild("pidfd-check");
    ASSERT_TRUE(child.running());
    const int fd = ProcessControl::openPidFd(child.pid());
    if (fd == -ENOSYS) GTEST_SKIP() << "this kernel has no pidfd_open";
    ASSERT_GE(fd, 0) << strerror(-fd);
    EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    pollfd entry = {fd, POLLIN, 0};
    EXPECT_EQ(0, poll(&entry, 1, 0));
    ASSERT_EQ(0, kill(child.pid(), SIGKILL));
    ASSERT_TRUE(tonvale_test::waitEndedUnreaped(child.pid()));
    EXPECT_EQ(1, poll(&entry, 1, 0));
    EXPECT_NE(0, entry.revents & POLLIN);
    close(fd);
    const pid_t gone = child.pid();
    child.stop();
    EXPECT_EQ(-ESRCH, ProcessControl::openPidFd(gone));
    EXPECT_EQ(-EINVAL, ProcessControl::openPidFd(0));
    EXPECT_EQ(-EINVAL, ProcessControl::openPidFd(-1));
}

TEST(GetTimeTest, BracketedLocalTime) {
    time_t before = time(nullptr);
    const std::string t = getTime();
    time_t after = time(nullptr);
    ASSERT_EQ(21u, t.size()) << t;
    int y, mo, d, h, mi, s;
    char close = 0;
    ASSERT_EQ(7, sscanf(t.c_str(), "[%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &close))
        << t;
    EXPECT_EQ(']', close);
    EXPECT_GE(h, 0);
    EXPECT_LE(h, 23);
    // The text is one of the local times seen around the call.
    bool seen = false;
    for (time_t when = before; when <= after; ++when) {
        struct tm local;
        localtime_r(&when, &local);
        char buf[32];
        strftime(buf, sizeof(buf), "[%Y-%m-%d %H:%M:%S]", &local);
        seen = seen || t == buf;
    }
    EXPECT_TRUE(seen) << t;
}

}  // namespace
}  // namespace android
