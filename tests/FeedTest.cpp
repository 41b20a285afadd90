// The program's three events (show, tick, close) and what it tells of them, against a stand-in
// port: stderr, the box, the capture.

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "os/Error.h"
#include "shell/Feed.h"
#include "tests/Support.h"

namespace {

// "2026-12-07T10:00:20.015+01:00 ", the time every line of the log begins with.
const std::string kStamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d )";

// The program's events as the window gets them, against a stand-in port: what stderr says, and
// what the box shows.
class FeedTest : public ::testing::Test {
 protected:
  FeedTest() {
    options_.port.device = "COM1";
    options_.port.reconnect = true;
  }
  ~FeedTest() override {
    std::fclose(out_);
    std::fclose(errors_);
  }

  std::string Errors() {
    std::fflush(errors_);
    std::rewind(errors_);
    std::string text(65536, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), errors_));
    return text;
  }

  testing_support::ScratchDirectory scratch_;
  testing_support::StandInDevice device_;
  shell::Options options_;
  shell::TickTimer timer_{std::chrono::hours(1)};
  std::FILE* out_ = std::tmpfile();
  std::FILE* errors_ = std::tmpfile();
  shell::Reporter reporter_{false, out_, errors_};
  std::vector<serial::ListedPort> ports_{{"COM3", ""}, {"COM7", ""}};
};

TEST_F(FeedTest, APortNotThereIsToldInTheBoxWithThePortsThatAreAndItsReturnTakesItOff) {
  device_.refuse = "The system cannot find the file specified";
  shell::Feed feed(options_, timer_, os::WakeHandle(), reporter_, device_.Opener(),
                   [this] { return ports_; });
  const std::string cannot =
      "Cannot open port \"COM1\": The system cannot find the file specified; trying again at "
      "each tick";
  EXPECT_EQ(
      feed.Show(),
      (std::vector<shell::BoxNotice>{{.worked = false,
                                      .subject = "COM1",
                                      .text = cannot +
                                              ". Serial ports on this computer: COM3, COM7. Start "
                                              "checkfeed with --port COM3 (see " +
                                              shell::DocsName() + ")."}}));
  // Stderr keeps its one line.
  EXPECT_EQ(Errors(), "checkfeed: " + cannot + "\n");

  testing_support::WriteFile("check1.txt", "one");
  EXPECT_EQ(feed.Tick(), std::vector<shell::BoxNotice>{});  // away: read, not sent, no news
  device_.refuse.clear();
  testing_support::WriteFile("check2.txt", "two");
  EXPECT_EQ(feed.Tick(),
            (std::vector<shell::BoxNotice>{
                {.worked = true, .subject = "COM1", .text = "Port \"COM1\" is open"}}));
  EXPECT_EQ(device_.Sent(), "two");

  // A missing file fails for the file; a port lost in a send fails for the port, and is back at
  // a later tick.
  const std::vector<shell::BoxNotice> missing = feed.Tick();
  ASSERT_EQ(missing.size(), 1U);
  EXPECT_FALSE(missing[0].worked);
  EXPECT_EQ(missing[0].subject, "check3.txt");
  device_.FailWrites(5, true);
  device_.refuse = "The system cannot find the file specified";
  testing_support::WriteFile("check4.txt", "four");
  EXPECT_EQ(feed.Tick(),
            (std::vector<shell::BoxNotice>{{.worked = false,
                                            .subject = "COM1",
                                            .text = "Port \"COM1\" lost: " + os::ErrorText(5) +
                                                    "; reopening when it comes back"}}));
  device_.Heal();
  device_.refuse.clear();
  testing_support::WriteFile("check5.txt", "five");
  EXPECT_EQ(feed.Tick(),
            (std::vector<shell::BoxNotice>{
                {.worked = true, .subject = "COM1", .text = "Port \"COM1\" is back"}}));
  feed.Close();
}

TEST_F(FeedTest, AHeldLineIsSaidOnceAtOnceThenItsReturnThenTheTicksThatFellDue) {
  options_.port.heldAfter = std::chrono::milliseconds(30);
  options_.port.line.ctsRtsFlow = true;
  const shell::TickTimer fast(std::chrono::milliseconds(5));
  shell::Feed feed(options_, fast, os::WakeHandle(), reporter_, device_.Opener(),
                   [this] { return ports_; });
  feed.Show();
  for (int n = 1; n <= 4; ++n) {
    testing_support::WriteFile(feeder::CheckFileName(n), std::string(1000, 'x'));
  }
  serial::LineStatus cts;
  cts.cts = false;
  device_.HoldAfter(400, cts);
  const std::string held =
      "Port \"COM1\" has taken no bytes for 30 ms: check1.txt, 400 of 1000 bytes sent; the "
      "device holds CTS low. Check the device and its cable, or start checkfeed with --flow "
      "none.";
  const std::string subject = "Port \"COM1\" was held";
  // The box shows it once the tick is over; stderr had it as it happened, then the bytes that
  // moved again, then how many ticks fell due meanwhile (the hold lasted at least 30 ms).
  EXPECT_EQ(feed.Tick(),
            (std::vector<shell::BoxNotice>{{.worked = false, .subject = subject, .text = held}}));
  EXPECT_EQ(device_.Sent(), std::string(1000, 'x'));
  const std::string errors = Errors();
  const std::string again =
      "checkfeed: Port \"COM1\" takes bytes again: check1.txt, 1000 of 1000 bytes sent\n";
  ASSERT_TRUE(errors.starts_with("checkfeed: " + held + "\n" + again)) << errors;
  int missed = 0;
  ASSERT_EQ(std::sscanf(errors.substr(("checkfeed: " + held + "\n" + again).size()).c_str(),
                        "checkfeed: While port \"COM1\" was held, %d ticks fell due; the beat "
                        "goes on with one, not a burst.\n",
                        &missed),
            1)
      << errors;
  EXPECT_GE(missed, 6);

  // Held again at the next send: the box counts it, stderr only counts it, as any failure that
  // repeats (a driver that held at every step would otherwise fill the journal).
  cts.cts = true;
  device_.HoldAfter(100, cts);
  const std::vector<shell::BoxNotice> again2 = feed.Tick();
  ASSERT_EQ(again2.size(), 1U);
  EXPECT_TRUE(again2[0].text.starts_with(
      "Port \"COM1\" has taken no bytes for 30 ms: check2.txt, 100 of 1000 bytes sent. Check"))
      << again2[0].text;
  EXPECT_EQ(Errors(), errors);

  // A whole send that nothing held takes it off the box, and stderr gets the count of repeats.
  EXPECT_EQ(feed.Tick(),
            (std::vector<shell::BoxNotice>{
                {.worked = true, .subject = subject, .text = "Port \"COM1\" sends again"}}));
  EXPECT_TRUE(
      Errors().starts_with(errors + "checkfeed: " + subject + " (again 1 time in the last "))
      << Errors();
  // Then a line that moves says nothing.
  const std::string quiet = Errors();
  EXPECT_EQ(feed.Tick(), std::vector<shell::BoxNotice>{});
  EXPECT_EQ(Errors(), quiet);
  feed.Close();
}

TEST_F(FeedTest, WithACaptureWhatTheDeviceAnswersFollowsItsSendAndVerboseSaysWhatCameBack) {
  testing_support::WriteFile("check1.txt", "one");
  testing_support::WriteFile("check2.txt", "two");
  shell::AppendFile file;
  ASSERT_EQ(file.Open("capture.log").Why(), "");
  shell::Reporter reporter(true, out_, errors_, nullptr, &file);
  options_.capture = "capture.log";
  shell::Feed feed(options_, timer_, os::WakeHandle(), reporter, device_.Opener(),
                   [this] { return ports_; });
  feed.Show();
  // Said before the first send, and heard at its tick: it goes before the send's mark, not after.
  const std::string early = "HELLO";
  device_.said.assign(testing_support::AsBytes(early).begin(),
                      testing_support::AsBytes(early).end());
  const std::string answer = "OK\r\n";
  device_.answer.assign(testing_support::AsBytes(answer).begin(),
                        testing_support::AsBytes(answer).end());
  feed.Tick();  // sends check1.txt, and hears the answer that came meanwhile
  feed.Tick();  // the next send: what came back after the first is said
  feed.Close();
  const std::string kept = testing_support::ReadText("capture.log");
  EXPECT_TRUE(std::regex_match(
      kept, std::regex(kStamp + "< HELLO\n" + kStamp + "> check1\\.txt, 3 bytes\n" + kStamp +
                       "< OK\\\\r\\\\n\n" + kStamp + "> check2\\.txt, 3 bytes\n")))
      << kept;
  std::fflush(out_);
  std::rewind(out_);
  std::string said(4096, '\0');
  said.resize(std::fread(said.data(), 1, said.size(), out_));
  EXPECT_NE(said.find("check1.txt sent: 3 bytes; 4 bytes back within "), std::string::npos) << said;
  EXPECT_NE(said.find("check2.txt sent: 3 bytes; nothing back"), std::string::npos) << said;
}

// --rotations: the run ends by itself after the last file of the last rotation, without its
// pause; with --expect, once that file's verdict is in, and its status says how the answers were.
TEST_F(FeedTest, ARunWithRotationsEndsByItselfOnceItsLastVerdictIsIn) {
  for (int n = 1; n <= 6; ++n) {
    testing_support::WriteFile(feeder::CheckFileName(n), "file " + std::to_string(n));
  }
  options_.rotations = 2;
  options_.pause = std::chrono::milliseconds(0);
  for (const bool expect : {false, true}) {
    options_.expect = expect;
    options_.answerWithin = std::chrono::milliseconds(1);
    testing_support::WriteFile("check6.expect", "OK");
    shell::Feed feed(options_, timer_, os::WakeHandle(), reporter_, device_.Opener(),
                     [this] { return ports_; });
    bool finished = false;
    feed.OnFinished([&finished] { finished = true; });
    feed.Show();
    for (int tick = 1; tick <= 13; ++tick) {
      feed.Tick();
      EXPECT_EQ(finished, !expect && tick == 13) << "tick " << tick;
    }
    if (expect) {
      // check6.txt's window is still open: the run ends when it closes, with its verdict.
      EXPECT_TRUE(os::WaitUntil(os::Clock::now() + std::chrono::milliseconds(5), os::WakeHandle()));
      feed.Input();
      EXPECT_TRUE(finished);
      EXPECT_TRUE(feed.Finished());
    }
    feed.Close();
    EXPECT_EQ(feed.ExitStatus(), expect ? 3 : 0);  // check6.txt was never answered
  }
  EXPECT_NE(Errors().find("checkfeed: check6.txt: no answer within 1 ms\n"), std::string::npos)
      << Errors();
}

// An answer's window ends at the next tick at the latest, the pause's too: its verdict is in then,
// and what comes in the pause is no part of it.
TEST_F(FeedTest, AnAnswersWindowEndsAtTheNextTickThePausesToo) {
  for (int n = 1; n <= 6; ++n) {
    testing_support::WriteFile(feeder::CheckFileName(n), "file " + std::to_string(n));
  }
  testing_support::WriteFile("check6.expect", "OK");
  options_.expect = true;
  options_.answerWithin = std::chrono::hours(1);
  options_.pause = std::chrono::milliseconds(0);
  shell::Feed feed(options_, timer_, os::WakeHandle(), reporter_, device_.Opener(),
                   [this] { return ports_; });
  feed.Show();
  for (int tick = 1; tick <= 6; ++tick) {
    feed.Tick();
  }
  EXPECT_EQ(Errors().find("check6.txt:"), std::string::npos);  // its window is open
  const std::vector<shell::BoxNotice> paused = feed.Tick();
  EXPECT_EQ(paused,
            (std::vector<shell::BoxNotice>{{.worked = false,
                                            .subject = "check6.txt's answer",
                                            .text = "check6.txt: no answer within 3600000 ms"}}));
  feed.Close();
}

// A capture the disk cannot take is said everywhere a failure is: stderr, the box, the service's
// status; its return too. The feed goes on meanwhile.
TEST_F(FeedTest, ACaptureOnAFullDiskIsSaidInTheBoxAndTheStatusAndSoIsItsReturn) {
  for (int n = 1; n <= 3; ++n) {
    testing_support::WriteFile(feeder::CheckFileName(n), "file " + std::to_string(n));
  }
  testing_support::MemoryFile disk;
  shell::Reporter reporter(false, out_, errors_, nullptr, &disk);
  options_.capture = "capture.log";
  shell::Feed feed(options_, timer_, os::WakeHandle(), reporter, device_.Opener(),
                   [this] { return ports_; });
  std::vector<std::string> statuses;
  feed.OnStatus([&statuses](const std::string& status) { statuses.push_back(status); });
  feed.Show();
  disk.full = true;
  const std::string failed =
      "Cannot write to the capture \"capture.log\": No space left on device; what the device "
      "sends is lost until it can be written again";
  EXPECT_EQ(
      feed.Tick(),
      (std::vector<shell::BoxNotice>{{.worked = false, .subject = "capture.log", .text = failed}}));
  EXPECT_EQ(device_.Sent(), "file 1");
  EXPECT_NE(Errors().find("checkfeed: " + failed + "\n"), std::string::npos) << Errors();
  ASSERT_FALSE(statuses.empty());
  EXPECT_TRUE(std::regex_match(statuses.back(),
                               std::regex(R"(check1\.txt sent \d\d:\d\d:\d\d; next check2\.txt; )"
                                          R"(capture not written since \d\d:\d\d:\d\d \(No space )"
                                          R"(left on device\))")))
      << statuses.back();
  // Room again: the next send's line goes, with the mark of the gap, and an answer after it.
  disk.full = false;
  const std::string answer = "OK";
  device_.answer.assign(testing_support::AsBytes(answer).begin(),
                        testing_support::AsBytes(answer).end());
  feed.Tick();
  const std::vector<shell::BoxNotice> back = feed.Tick();
  ASSERT_EQ(back.size(), 1U);
  EXPECT_TRUE(back[0].worked);
  EXPECT_EQ(back[0].subject, "capture.log");
  EXPECT_EQ(statuses.back().find("capture not written"), std::string::npos) << statuses.back();
  EXPECT_NE(disk.text.find(" ! "), std::string::npos) << disk.text;
  feed.Close();
}

}  // namespace
