// Whole sessions of the real program: scripted standard input, the complete
// standard output and the exit status compared with the console's texts.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/program_run.h"
#include "worked_example.h"

namespace {

// A session that has not ended after five seconds is killed and reported as
// timed out; one that writes more than 8 MiB is stopped by the file size
// limit, so a spinning loop fails quickly either way.
ProgramRun RunSession(const std::string& input) {
    return RunProgram(input, {}, 5, {}, 8 << 20);
}

void ExpectSession(const std::string& input, const std::string& expected) {
    const ProgramRun session = RunSession(input);
    EXPECT_FALSE(session.timedOut);
    EXPECT_EQ(session.exitStatus, 0);
    EXPECT_EQ(session.err, "");
    EXPECT_EQ(session.out, expected);
}

// ---- The console's texts -------------------------------------------------

std::string Banner() {
    const std::string border(66, '/');
    return border + "\n" +
           "//  WARNING! This program will send a wide range of sine waves  //\n"
           "//  that are 6 dB below fullscale to your sound system.         //\n"
           "//  It is strongly recommended that you turn your amplifier to  //\n"
           "//  a very low setting initially to protect both your ears and  //\n"
           "//  your speakers.                                              //\n" +
           border + "\n";
}

// What the settings summary shows, as text.
struct Shown {
    std::string q = "4";
    std::string bands = "31";
    std::string length = "10.0";
    std::string start = "18.0";
    std::string end = "16175.0";
    std::string device = "default";
};

// The summary and the command list of one pass.
std::string Pass(const Shown& s = {}) {
    return "\nQ: " + s.q + " --- Bands: " + s.bands + " --- Length: " + s.length + " sec\n" +
           "Start: " + s.start + " Hz --- End: " + s.end + " Hz\n" + "Soundcard:  " + s.device +
           "\n\n" +
           "Enter 'h' for help\n"
           "      'q' to adjust the Q\n"
           "      'b' to adjust the bands\n"
           "      'f' to adjust the starting frequency\n"
           "      't' to adjust the sweep time\n"
           "      'p' for quick presets\n"
           "      'c' to change soundcard device\n"
           "      'd' to display current band ranges\n"
           "      'r' ro run\n"
           "      'x' to exit\n";
}

const std::string kStart = Banner() + Pass();
const std::string kContinue = "Enter 'c' to continue\n";
const std::string kAskQ = "Enter Q (larger = narrower bandwidth)\n";
const std::string kAskStart = "Enter starting frequency\n";
const std::string kAskLength = "Enter sweep length\n";
const std::string kAskBands = "Enter number of bands\n";
const std::string kAskDevice = "Enter soundcard device name\n";
const std::string kTooManyBands = "Band count above 1024 is not supported, not changed.\n";
const std::string kNameTooLong = "Device name longer than 255 characters, not changed.\n";

std::string Help() {
    return "Zembrak 1.00 (1h)\n"
           "A program for testing the frequency response of a room.\n"
           "\n"
           "This program requires a two channel interface.\n"
           "1. Attach your test microphone to channel 1.\n"
           "2. Attach output channel 2 to input channel 2.\n"
           "   (Channel 2 will be used to sync input and output signals.)\n"
           "3. Attach a splitter or mixer to channel 1's output to feed amp/speakers.\n"
           "\n"
           "In summary:\n"
           "Mic >> Input 1\n"
           "Output 2 >> Input 2\n"
           "Output 1 >> mixer >> amp >> speakers\n"
           "\n"
           "Turn off soundcard monitor mixes to prevent feedback.\n"
           "\n"
           "Add or remove bands to adjust the overall frequency range.\n"
           "Adjust Q to set bandwidth relative to frequency.\n"
           "After adjusting Q you will probably need to re-adjust number of bands.\n";
}

std::string PresetMenu() {
    return "Enter:\n"
           "1.  Full Range and Narrow (18 Hz - 16 kHz, Q 4, 31 bands\n"
           "2.  Full Range and Wide (18 Hz - 16 kHz, Q 1.3, 12 bands\n"
           "3.  Detailed Bass (18 Hz - 355 Hz, Q 6, 20 bands\n"
           "4.  Rough Bass (18 Hz - 454 Hz, Q 2, 8 bands\n"
           "5.  Midrange (300 - 5.5 kHz, Q 5, 16 bands\n";
}

// The band ranges screen for the first `bands` bands of the default plan.
std::string DefaultRanges(int bands) {
    std::string text = "band\tlow\thigh\n";
    for (int i = 0; i < bands; ++i) {
        const ExampleBand& b = kWorkedExample[i];
        text += std::to_string(b.band) + "\t" + std::to_string(b.low) + "\t" +
                std::to_string(b.high) + "\n";
    }
    return text;
}

// ---- Sessions --------------------------------------------------------------

TEST(Session, DefaultStartAndExit) {
    ExpectSession("x\n", kStart);
    ExpectSession("x", kStart);
    ExpectSession("  \n\t x trailing words", kStart);
}

TEST(Session, EndOfInputAtTheCommandWordEndsInOrder) {
    ExpectSession("", kStart);
    ExpectSession(" \n\n\t", kStart);
    ExpectSession("help\n", kStart + Pass());
}

TEST(Session, WordsThatAreNoCommand) {
    const std::string longWord(100000, 'h');
    ExpectSession("X help rr hh " + longWord + " x",
                  kStart + Pass() + Pass() + Pass() + Pass() + Pass());
}

TEST(Session, HelpAndTheContinueWait) {
    ExpectSession("h c x", kStart + Help() + kContinue + Pass());
    // Only the exact word "c" ends the wait; "x" there does not exit.
    ExpectSession("h x C cc c x",
                  kStart + Help() + kContinue + kContinue + kContinue + kContinue + Pass());
}

TEST(Session, EndOfInputInTheContinueWait) {
    ExpectSession("h", kStart + Help() + kContinue);
    ExpectSession("h x", kStart + Help() + kContinue + kContinue);
    ExpectSession("d x", kStart + DefaultRanges(31) + kContinue + kContinue);
}

TEST(Session, BandRangesOfTheDefaults) {
    ExpectSession("d c x", kStart + DefaultRanges(31) + kContinue + Pass());
}

TEST(Session, QIsShownRounded) {
    ExpectSession("b 12 q 1.3 q 2.7 b 0 x",
                  kStart + kAskBands + Pass({.bands = "12", .end = "235.0"}) + kAskQ +
                      Pass({.q = "1", .bands = "12", .end = "16075.0"}) + kAskQ +
                      Pass({.q = "3", .bands = "12", .end = "709.0"}) + kAskBands +
                      Pass({.q = "3", .bands = "0", .end = "18.0"}));
}

TEST(Session, BandCountPrefixesAndNegativeCount) {
    ExpectSession("b 010 d c b 0x10 b -3 d c x",
                  kStart + kAskBands + Pass({.bands = "8", .end = "97.0"}) + DefaultRanges(8) +
                      kContinue + Pass({.bands = "8", .end = "97.0"}) + kAskBands +
                      Pass({.bands = "16", .end = "571.0"}) + kAskBands +
                      Pass({.bands = "-3", .end = "18.0"}) + "band\tlow\thigh\n" + kContinue +
                      Pass({.bands = "-3", .end = "18.0"}));
}

TEST(Session, NumberPromptLeavesANonNumberForTheNextCommand) {
    // "b" then "x": the count stays and "x" exits.
    ExpectSession("b x", kStart + kAskBands + Pass());
    // "q" then "c": Q stays and "c" asks for the device name.
    ExpectSession("q c hw:0 x", kStart + kAskQ + Pass() + kAskDevice + Pass({.device = "hw:0"}));
    // "f" then "h" opens the help.
    ExpectSession("f h c x", kStart + kAskStart + Pass() + Help() + kContinue + Pass());
    // "t" then "d" shows the band ranges.
    ExpectSession("t d c x", kStart + kAskLength + Pass() + DefaultRanges(31) + kContinue + Pass());
}

TEST(Session, CharactersAfterANumberAreTheNextWord) {
    ExpectSession("b 12abc x", kStart + kAskBands + Pass({.bands = "12", .end = "235.0"}) +
                                   Pass({.bands = "12", .end = "235.0"}));
    ExpectSession("t 2.5x", kStart + kAskLength + Pass({.length = "2.5"}));
    ExpectSession("b 3h c x", kStart + kAskBands + Pass({.bands = "3", .end = "33.0"}) + Help() +
                                  kContinue + Pass({.bands = "3", .end = "33.0"}));
}

TEST(Session, StartFrequencyAndLength) {
    ExpectSession("f 18.7 t 2.5 f -18.9 b 2 x",
                  kStart + kAskStart + Pass({.start = "18.7"}) + kAskLength +
                      Pass({.length = "2.5", .start = "18.7"}) + kAskStart +
                      Pass({.length = "2.5", .start = "-18.9", .end = "-16175.0"}) + kAskBands +
                      Pass({.bands = "2", .length = "2.5", .start = "-18.9", .end = "-27.0"}));
}

TEST(Session, InfinitiesAndNaNsAreKeptAsGiven) {
    // Q inf: x + x / inf == x, every edge stays at 18.
    // Q nan: the first edge is NaN and cuts to 0, and so does every later one.
    // Start inf: the cut start saturates and so does every edge.
    ExpectSession("q inf q nan q 4 f inf f -INF t nan x",
                  kStart + kAskQ + Pass({.q = "inf", .end = "18.0"}) + kAskQ +
                      Pass({.q = "nan", .end = "0.0"}) + kAskQ + Pass() + kAskStart +
                      Pass({.start = "inf", .end = "2147483647.0"}) + kAskStart +
                      Pass({.start = "-inf", .end = "-2147483648.0"}) + kAskLength +
                      Pass({.length = "nan", .start = "-inf", .end = "-2147483648.0"}));
}

TEST(Session, ZeroQSaturatesTheEdges) {
    ExpectSession("q 0 b 2 d c x",
                  kStart + kAskQ + Pass({.q = "0", .end = "2147483647.0"}) + kAskBands +
                      Pass({.q = "0", .bands = "2", .end = "2147483647.0"}) +
                      "band\tlow\thigh\n1\t18\t2147483647\n2\t2147483647\t2147483647\n" +
                      kContinue + Pass({.q = "0", .bands = "2", .end = "2147483647.0"}));
}

TEST(Session, HexAndExponentNumbers) {
    ExpectSession("q 0x1.8p1 q 4e0x",
                  kStart + kAskQ + Pass({.q = "3", .end = "128428.0"}) + kAskQ + Pass());
}

TEST(Session, BandCountLimit) {
    // Q 4 from 18 Hz leaves the 32-bit range at band 84, so 1024 bands end
    // at the saturated edge.
    ExpectSession("b 1025 b 1024 b 99999999999 b -99999999999 x",
                  kStart + kAskBands + kTooManyBands + Pass() + kAskBands +
                      Pass({.bands = "1024", .end = "2147483647.0"}) + kAskBands + kTooManyBands +
                      Pass({.bands = "1024", .end = "2147483647.0"}) + kAskBands +
                      Pass({.bands = "-2147483648", .end = "18.0"}));
    ExpectSession("b 0x401 x", kStart + kAskBands + kTooManyBands + Pass());
}

TEST(Session, BandRangesOfAFullPlan) {
    const ProgramRun session = RunSession("b 1024 d c x");
    EXPECT_EQ(session.exitStatus, 0);
    const std::string& out = session.out;
    EXPECT_NE(out.find("1\t18\t22\n2\t22\t27\n"), std::string::npos);
    EXPECT_NE(out.find("\n1024\t2147483647\t2147483647\n" + kContinue), std::string::npos);
    EXPECT_EQ(out.find("1025\t"), std::string::npos);
}

TEST(Session, DeviceName) {
    const std::string alsaName = "plughw:CARD=USB,DEV=0";
    ExpectSession("c hw:1,0 p 3 c " + alsaName + " x",
                  kStart + kAskDevice + Pass({.device = "hw:1,0"}) + PresetMenu() +
                      Pass({.q = "6", .bands = "20", .end = "355.0", .device = "hw:1,0"}) +
                      kAskDevice +
                      Pass({.q = "6", .bands = "20", .end = "355.0", .device = alsaName}));
}

TEST(Session, DeviceNameLengthLimit) {
    const std::string longest(255, 'n');
    const std::string tooLong(300, 'm');
    ExpectSession("c " + longest + " c " + tooLong + " c " + std::string(256, 'k') + " x",
                  kStart + kAskDevice + Pass({.device = longest}) + kAskDevice + kNameTooLong +
                      Pass({.device = longest}) + kAskDevice + kNameTooLong +
                      Pass({.device = longest}));
    ExpectSession("c " + std::string(100000, 'z') + " x",
                  kStart + kAskDevice + kNameTooLong + Pass());
}

TEST(Session, Presets) {
    ExpectSession("p 1 p 2 p 3 p 4 p 5 x",
                  kStart + PresetMenu() + Pass() + PresetMenu() +
                      Pass({.q = "1", .bands = "12", .end = "16075.0"}) + PresetMenu() +
                      Pass({.q = "6", .bands = "20", .end = "355.0"}) + PresetMenu() +
                      Pass({.q = "2", .bands = "8", .end = "454.0"}) + PresetMenu() +
                      Pass({.q = "5", .bands = "16", .start = "300.0", .end = "5524.0"}));
}

TEST(Session, PresetKeepsLengthAndPassesOverOtherInput) {
    // Numbers outside 1 to 5 and tokens that are no number are passed over
    // silently; 0x3 is preset 3.
    ExpectSession("t 3 p 9 0 -1 abc x 99999999999 0x3 x",
                  kStart + kAskLength + Pass({.length = "3.0"}) + PresetMenu() +
                      Pass({.q = "6", .bands = "20", .length = "3.0", .end = "355.0"}));
    // The rest of a token after the number is passed over as well.
    ExpectSession("p 7x 2y x", kStart + PresetMenu() +
                                   Pass({.q = "1", .bands = "12", .end = "16075.0"}) +
                                   Pass({.q = "1", .bands = "12", .end = "16075.0"}));
}

// A megabyte-long token of numbers at the preset prompt is read in time
// proportional to its length; erasing each number from the token's front
// took minutes for this one and ran into the session's time limit.
TEST(Session, LongTokenOfNumbersAtThePresetPrompt) {
    std::string token = "0";
    while (token.size() <= (std::size_t{1} << 20)) token += "-0";
    ExpectSession("p " + token + "\nx\n", kStart + PresetMenu());
}

TEST(Session, EndOfInputAtEveryPrompt) {
    ExpectSession("q", kStart + kAskQ);
    ExpectSession("f", kStart + kAskStart);
    ExpectSession("t", kStart + kAskLength);
    ExpectSession("b", kStart + kAskBands);
    ExpectSession("c", kStart + kAskDevice);
    ExpectSession("p", kStart + PresetMenu());
    ExpectSession("p 9 0", kStart + PresetMenu());
    ExpectSession("p junk", kStart + PresetMenu());
    ExpectSession("q 5", kStart + kAskQ + Pass({.q = "5", .end = "4645.0"}));
}

TEST(Session, OutputOrderSurvivesAPipe) {
    // Line buffered standard output keeps everything and in order when the
    // reader is a pipe and the program exits at the end of its input.
    int toChild[2];
    int fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[1]);
        close(fromChild[0]);
        execl(ZEMBRAK_BINARY, ZEMBRAK_BINARY, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    const std::string input = "h c b 5\n";
    ASSERT_EQ(write(toChild[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(toChild[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(fromChild[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(fromChild[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(out, kStart + Help() + kContinue + Pass() + kAskBands +
                       Pass({.bands = "5", .end = "51.0"}));
}

}  // namespace
