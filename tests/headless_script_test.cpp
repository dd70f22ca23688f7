// The headless host's commands: the bundled whole-session script run through the interpreter in
// this process against the reference server, scripts that fail, message boxes answered from the
// queue, by the user and by default, and the interactive runner reading from a pipe.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>
#include <gtest/gtest.h>

#include "bvh.h"
#include "command_interpreter.h"
#include "headless_host.h"
#include "host_options.h"
#include "host_session.h"
#include "link_test_util.h"
#include "test_files.h"

namespace {

using kmq_test::TempPath;

using kmq::CommandAnswer;
using kmq::CommandInterpreter;
using kmq::HostOptions;
using kmq::ScriptResult;

using linktest::FreePort;

double HostVersionNow() {
  FBSystem system;
  return static_cast<double>(system.Version);
}

// Each test starts and ends with a clean host; the interpreter keeps what it writes.
class HeadlessScript : public ::testing::Test {
 protected:
  HostOptions Options() {
    HostOptions options = kmq::DefaultHostOptions();
    options.mOutPath =
        TempPath(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".bvh";
    return options;
  }
  kmq::LineWriter Writer() {
    return [this](const std::string& line) { mOut.push_back(line); };
  }
  ScriptResult Run(CommandInterpreter& interpreter, const std::string& script,
                   bool keepGoing = false) {
    std::istringstream in(script);
    return kmq::RunScript(in, interpreter, keepGoing, Writer());
  }
  // Runs a script of tools/headless_host/scripts; a script that cannot be opened fails the test.
  ScriptResult RunBundled(CommandInterpreter& interpreter, const std::string& name) {
    const std::string path = std::string(KMQ_SCRIPT_DIR "/") + name;
    std::ifstream script(path);
    EXPECT_TRUE(script) << path;
    return kmq::RunScript(script, interpreter, false, Writer());
  }
  bool Shown(const std::string& text) const {
    return std::any_of(mOut.begin(), mOut.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  }
  std::string Transcript() const {
    std::string all;
    for (const std::string& line : mOut) all += line + "\n";
    return all;
  }

  fbsdk_control::ScopedHostCapture mCapture;
  std::vector<std::string> mOut;
};

// ---- The whole session ----

TEST_F(HeadlessScript, FullSessionDrivesEveryControlAndEndsCharacterized) {
  HostOptions options = Options();
  std::remove(options.mOutPath.c_str());
  CommandInterpreter interpreter(options, Writer());
  const ScriptResult result = RunBundled(interpreter, "full-session.kmq");
  ASSERT_EQ(result.mExitCode, kmq::kExitOk) << Transcript();
  EXPECT_EQ(result.mErrors, 0);
  EXPECT_GE(result.mCommands, 25);

  // Each echoed command is answered by exactly one line starting "ok"; only box lines come
  // between them.
  int answers = 0;
  for (size_t i = 0; i < mOut.size(); ++i) {
    if (mOut[i].rfind("> ", 0) != 0) continue;
    size_t j = i + 1;
    while (j < mOut.size() && mOut[j].rfind("box", 0) == 0) ++j;
    ASSERT_LT(j, mOut.size()) << Transcript();
    EXPECT_EQ(mOut[j].rfind("ok ", 0), 0u) << mOut[i] << " -> " << mOut[j];
    ++answers;
  }
  EXPECT_EQ(answers, result.mCommands);

  // The header request was acknowledged, and both "Info" boxes were answered from the queue.
  EXPECT_TRUE(Shown("box: Info: Request BVH header done. [1 OK]")) << Transcript();
  EXPECT_TRUE(Shown("ok the panel said \"Request BVH header done.\"")) << Transcript();
  EXPECT_TRUE(
      Shown("box: Info: Skeleton template has been rebuilt, \\nplease select or create a "
            "new skeleton in 'Model binding' control. [1 OK]"))
      << Transcript();
  EXPECT_FALSE(Shown("no answer queued")) << Transcript();
  EXPECT_TRUE(Shown("ok chose [1] tag 2 \"makehuman_walk1\"")) << Transcript();
  // The device's Status and Information, as the host shows them.
  EXPECT_TRUE(Shown("ok device \"Online\": \"makehuman_walk1, ")) << Transcript();
  EXPECT_TRUE(Shown("device offline, Status \"Offline\" Information \"\"")) << Transcript();

  kmq::HeadlessHost& host = interpreter.Host();
  // A character named after the skeleton's namespace, characterized.
  const std::vector<kmq::CharacterItem> characters = host.Characters();
  ASSERT_EQ(characters.size(), 1u);
  EXPECT_EQ(characters[0].mName, "Walker");
  EXPECT_TRUE(characters[0].mCharacterized);
  bool walkerCharacterized = false;
  for (FBCharacter* character : fbsdk_control::SceneCharacters()) {
    walkerCharacterized = walkerCharacterized ||
                          (std::string(static_cast<const char*>(character->Name)) == "Walker" &&
                           character->GetCharacterize());
  }
  EXPECT_TRUE(walkerCharacterized);

  // Every control of the panel a user can act on was acted on.
  const std::vector<kmq::PanelControl> controls = host.PanelControls();
  int edits = 0, buttons = 0, checkBoxes = 0, lists = 0;
  for (const kmq::PanelControl& control : controls) {
    EXPECT_EQ(host.DrivenControls().count(control.mRegion), 1u)
        << control.mKind << " " << control.mRegion << " \"" << control.mCaption << "\"";
    edits += control.mKind == "edit";
    buttons += control.mKind == "button";
    checkBoxes += control.mKind == "check box";
    lists += control.mKind == "list";
  }
  EXPECT_EQ(edits, 2);       // address and port
  EXPECT_EQ(lists, 1);       // the actors
  EXPECT_EQ(buttons, 3);     // request header, rebuild, characterize
  EXPECT_EQ(checkBoxes, 1);  // stay in T-pose
  EXPECT_TRUE(Shown("controls driven 7 of 7")) << Transcript();
  EXPECT_FALSE(host.IsOnline());
  EXPECT_FALSE(host.IsBound());

  // The take is the chosen actor's skeleton, with frames.
  bvh::Clip source;
  bvh::Clip take;
  std::string error;
  ASSERT_TRUE(bvh::ParseBvhFile(KMQ_DATA_DIR "/bvh/makehuman_walk1.bvh", &source, &error)) << error;
  ASSERT_TRUE(bvh::ParseBvhFile(options.mOutPath, &take, &error)) << error;
  EXPECT_GT(take.mFrameCount, 0);
  EXPECT_EQ(bvh::CountJoints(take.mRoot), bvh::CountJoints(source.mRoot));
  EXPECT_EQ(bvh::CountEndSites(take.mRoot), bvh::CountEndSites(source.mRoot));
  std::remove(options.mOutPath.c_str());
}

// The bundled scene-changes script: the device deleted, then a new scene, each while the host
// records and frames arrive. The recording goes on without the device, the take recorded until
// the deletion is written, a new device works in the same host, and the new scene takes device
// and skeleton away.
TEST_F(HeadlessScript, DeleteDeviceAndNewSceneWhileRecording) {
  HostOptions options = Options();
  std::remove(options.mOutPath.c_str());
  CommandInterpreter interpreter(options, Writer());
  const ScriptResult result = RunBundled(interpreter, "scene-changes.kmq");
  ASSERT_EQ(result.mExitCode, kmq::kExitOk) << Transcript();
  EXPECT_TRUE(Shown("ok deleted the device (online, recording, ")) << Transcript();
  EXPECT_TRUE(Shown("and its panel; the skeleton stays in the scene, unbound")) << Transcript();
  EXPECT_TRUE(Shown("ok new scene (the device online, recording, ")) << Transcript();
  EXPECT_TRUE(Shown("): 1 device, ")) << Transcript();
  EXPECT_TRUE(Shown(" models and 0 characters cleared")) << Transcript();
  EXPECT_TRUE(Shown("frames received, no skeleton left to hold keys")) << Transcript();
  EXPECT_TRUE(Shown("; the next device gets 127.0.0.1:")) << Transcript();
  EXPECT_TRUE(Shown("; no device")) << Transcript();
  EXPECT_FALSE(interpreter.Host().HasDevice());
  EXPECT_FALSE(interpreter.Host().HasSkeleton());
  EXPECT_TRUE(fbsdk_control::SceneModels().empty());
  bvh::Clip take;
  std::string error;
  ASSERT_TRUE(bvh::ParseBvhFile(options.mOutPath, &take, &error)) << error;
  EXPECT_GT(take.mFrameCount, 0);
  std::remove(options.mOutPath.c_str());
}

// ---- Scripts that fail ----

TEST_F(HeadlessScript, StopsAtTheFirstErrorUnlessKeepGoing) {
  const std::string script = "# nothing made yet\nstatus\n\nbind\nstatus\n";
  {
    CommandInterpreter interpreter(Options(), Writer());
    const ScriptResult result = Run(interpreter, script);
    EXPECT_EQ(result.mExitCode, kmq::kExitCommandFailed);
    EXPECT_EQ(result.mCommands, 2);
    EXPECT_EQ(result.mErrors, 1);
    EXPECT_EQ(result.mStoppedAtLine, 4);
    ASSERT_EQ(mOut.size(), 4u) << Transcript();
    EXPECT_EQ(mOut[2], "> bind");
    EXPECT_EQ(mOut[3].rfind("error no device yet", 0), 0u) << mOut[3];
  }
  mOut.clear();
  CommandInterpreter interpreter(Options(), Writer());
  const ScriptResult result = Run(interpreter, script, true);
  EXPECT_EQ(result.mExitCode, kmq::kExitCommandFailed);
  EXPECT_EQ(result.mCommands, 3);
  EXPECT_EQ(result.mErrors, 1);
  EXPECT_EQ(result.mStoppedAtLine, 0);
}

TEST_F(HeadlessScript, QuitEndsTheScript) {
  CommandInterpreter interpreter(Options(), Writer());
  const ScriptResult result = Run(interpreter, "help\nquit\nbind\n");
  EXPECT_EQ(result.mExitCode, kmq::kExitOk);
  EXPECT_EQ(result.mCommands, 2);
  EXPECT_TRUE(interpreter.QuitRequested());
  EXPECT_EQ(mOut.back(), "ok bye");
}

TEST_F(HeadlessScript, EveryBadCommandAnswersOneErrorLine) {
  CommandInterpreter interpreter(Options(), Writer());
  const std::vector<std::string> bad = {"frobnicate",       "wait",
                                        "wait soon",        "wait frames",
                                        "wait frames x",    "wait header 0",
                                        "tpose maybe",      "answer",
                                        "answer 0",         "answer 4",
                                        "answer 1 x",       "record -1",
                                        "record 2 3",       "sleep",
                                        "sleep 0",          "idle 0",
                                        "idle 2000000",     "version x",
                                        "version -1",       "choose",
                                        "skeleton a b",     "skeleton a:b",
                                        "server 127.0.0.1", "server :7005",
                                        "server 1.2.3.4:",  "bind",
                                        "unbind",           "online",
                                        "actors",           "choose 0",
                                        "request-header",   "rebuild",
                                        "characterize",     "export",
                                        "device extra",     "quit now",
                                        "help me",          "serve /nonexistent/missing.bvh",
                                        "delete-device",    "record start",
                                        "record stop"};
  for (const std::string& command : bad) {
    const CommandAnswer answer = interpreter.Execute(command);
    EXPECT_FALSE(answer.mOk) << command;
    EXPECT_EQ(answer.mLine.rfind("error ", 0), 0u) << command << " -> " << answer.mLine;
    EXPECT_EQ(answer.mLine.find('\n'), std::string::npos) << command;
  }
  EXPECT_FALSE(interpreter.QuitRequested());
  EXPECT_EQ(interpreter.Execute("# a comment").mLine, "");
  EXPECT_EQ(interpreter.Execute("   ").mLine, "");
  EXPECT_EQ(interpreter.Execute("help").mLine.rfind("ok commands: load", 0), 0u);
  EXPECT_NE(interpreter.Execute("wait frames 5 0.1").mLine.find("no device"), std::string::npos);
}

// The help line and the usage errors are made from the command table; scripts and users read
// them, so their wording stays as it was.
TEST_F(HeadlessScript, HelpAndUsageErrorsKeepTheirWording) {
  CommandInterpreter interpreter(Options(), Writer());
  EXPECT_EQ(interpreter.Execute("help").mLine,
            "ok commands: load [PLUGIN] | version N | device | server ADDR:PORT | serve "
            "[FILE.bvh ...] | address TEXT | port TEXT | online | offline | actors | choose "
            "INDEX|tag TAG|NAME | request-header | rebuild | tpose on|off | characterize | wait "
            "actors|header|templates|characterized|frames N [SECONDS] | skeleton [NAMESPACE] | "
            "bind | unbind | delete-device | new-scene | record [SECONDS|start|stop] | "
            "characters | export [FILE.bvh] | status | health [json] | idle [N] | sleep SECONDS | "
            "answer N [N...] | help | quit");
  const std::vector<std::pair<std::string, std::string>> usages = {
      {"help me", "usage: help"},
      {"device extra", "usage: device"},
      {"version x", "usage: version N (the host version before device, e.g. 12999 or 19000)"},
      {"server :7005", "usage: server ADDR:PORT"},
      {"choose", "usage: choose INDEX | choose tag TAG | choose NAME"},
      {"tpose maybe", "usage: tpose on|off"},
      {"wait soon",
       "usage: wait actors|header|templates|characterized [SECONDS] | wait frames N [SECONDS]"},
      {"wait frames 3 -1",
       "usage: wait actors|header|templates|characterized [SECONDS] | wait frames N [SECONDS] "
       "(SECONDS positive, at most 1000000)"},
      {"record 0",
       "usage: record [SECONDS] | record start | record stop (SECONDS positive, at most 1000000)"},
      {"new-scene now", "usage: new-scene"},
      {"health x", "usage: health [json]"},
      {"idle 0", "usage: idle [N] (N from 1 to 1000000)"},
      {"sleep", "usage: sleep SECONDS (positive, at most 1000000)"},
      {"answer 4", "usage: answer N [N...] (button numbers from 1 to 3)"},
  };
  for (const auto& [command, usage] : usages) {
    EXPECT_EQ(interpreter.Execute(command).mLine, "error " + usage) << command;
  }
  EXPECT_EQ(interpreter.Execute("frobnicate").mLine,
            "error unknown command \"frobnicate\" (help lists the commands)");
}

TEST_F(HeadlessScript, WaitsEndAtTheirTimeoutOrAStop) {
  CommandInterpreter interpreter(Options(), Writer());
  ASSERT_TRUE(interpreter.Execute("load").mOk);
  ASSERT_TRUE(interpreter.Execute("device").mOk);
  EXPECT_EQ(interpreter.Execute("wait actors 0.1").mLine, "error no actor offered within 0.1 s");
  EXPECT_EQ(interpreter.Execute("wait frames 5 0.1").mLine,
            "error only 0 of 5 frames received within 0.1 s");
  EXPECT_EQ(interpreter.Execute("wait header").mLine,
            "error no header was requested (request-header first)");
  EXPECT_EQ(interpreter.Execute("idle 3").mLine, "ok 3 idle events");
  kmq::RequestHeadlessStop();
  EXPECT_EQ(interpreter.Execute("sleep 100").mLine, "error interrupted");
  EXPECT_EQ(interpreter.Execute("wait templates 100").mLine, "error interrupted");
  kmq::ClearHeadlessStop();
  EXPECT_EQ(interpreter.Execute("sleep 0.05").mLine, "ok slept 0.05 s");
}

// ---- The panel without a session ----

TEST_F(HeadlessScript, ServerIsTypedIntoThePanelBeforeAndAfterItIsMade) {
  CommandInterpreter interpreter(Options(), Writer());
  EXPECT_EQ(interpreter.Execute("server [::1]:7123").mLine,
            "ok the panel gets ::1:7123 when it is made (device)");
  ASSERT_TRUE(interpreter.Execute("load").mOk);
  const CommandAnswer device = interpreter.Execute("device");
  ASSERT_TRUE(device.mOk) << device.mLine;
  EXPECT_NE(device.mLine.find("typed \"::1\" into Address and \"7123\" into Port"),
            std::string::npos)
      << device.mLine;
  EXPECT_EQ(interpreter.Host().AddressText(), "::1");
  EXPECT_EQ(interpreter.Host().PortText(), "7123");
  EXPECT_EQ(interpreter.Execute("address \"  \"").mLine, "ok typed \"  \" into Address");
  EXPECT_EQ(interpreter.Host().AddressText(), "  ");
  EXPECT_EQ(interpreter.Execute("port 70000").mLine, "ok typed \"70000\" into Port");
  EXPECT_EQ(interpreter.Execute("server 127.0.0.1:7005").mLine,
            "ok typed \"127.0.0.1\" into Address and \"7005\" into Port");
  EXPECT_EQ(interpreter.Host().AddressText(), "127.0.0.1");
  EXPECT_EQ(interpreter.Execute("actors").mLine, "ok the actor list is empty");
  EXPECT_EQ(interpreter.Execute("tpose on").mLine, "ok clicked \"Stay In T-Pose\": ticked");
  EXPECT_TRUE(interpreter.Host().TPoseChecked());
  EXPECT_EQ(interpreter.Execute("tpose on").mLine, "ok \"Stay In T-Pose\" is ticked already");
  EXPECT_TRUE(interpreter.Host().TPoseChecked());
  EXPECT_EQ(interpreter.Execute("device").mLine, "error the device exists already");
  EXPECT_EQ(interpreter.Execute("load").mLine, "error the plug-in is already loaded");
  EXPECT_EQ(interpreter.Execute("version 12000").mLine,
            "error the panel is made already; the version counts for a new panel only");
}

TEST_F(HeadlessScript, UnreachableServerIsAnErrorWithThePanelsText) {
  CommandInterpreter interpreter(Options(), Writer());
  const std::string port = std::to_string(FreePort());
  ASSERT_TRUE(Run(interpreter, "load\ndevice\nserver 127.0.0.1:" + port + "\n").mExitCode ==
              kmq::kExitOk)
      << Transcript();
  const CommandAnswer online = interpreter.Execute("online");
  EXPECT_FALSE(online.mOk);
  EXPECT_EQ(online.mLine, "error cannot go online to 127.0.0.1:" + port +
                              " (as typed in the panel): the plug-in reported \"Can not connect "
                              "to this address.\"");
  EXPECT_TRUE(Shown("box: Warning: Can not connect to this address. [1 OK]")) << Transcript();
  EXPECT_FALSE(interpreter.Host().IsOnline());
}

TEST_F(HeadlessScript, OldHostShowsNoCharacterizeButtonAndTheVersionIsRestored) {
  const double before = HostVersionNow();
  {
    CommandInterpreter interpreter(Options(), Writer());
    EXPECT_EQ(interpreter.Execute("version 12999").mLine, "ok host version 12999");
    ASSERT_TRUE(interpreter.Execute("load").mOk);
    const CommandAnswer device = interpreter.Execute("device");
    EXPECT_NE(device.mLine.find("it has no Characterize button"), std::string::npos)
        << device.mLine;
    EXPECT_EQ(interpreter.Execute("characterize").mLine,
              "error the panel has no \"Characterize\" button (host version 12999)");
    for (const kmq::PanelControl& control : interpreter.Host().PanelControls()) {
      EXPECT_NE(control.mCaption, "Characterize");
    }
    EXPECT_EQ(HostVersionNow(), 12999.0);
  }
  EXPECT_EQ(HostVersionNow(), before);
}

// ---- Message boxes ----

TEST_F(HeadlessScript, BoxWithoutAQueuedAnswerGetsTheFirstButtonAndSaysSo) {
  CommandInterpreter interpreter(Options(), Writer());
  ASSERT_TRUE(Run(interpreter, "load\ndevice\n").mExitCode == kmq::kExitOk) << Transcript();
  const CommandAnswer request = interpreter.Execute("request-header");
  EXPECT_FALSE(request.mOk);
  EXPECT_EQ(request.mLine,
            "error clicked \"Request Bvh Header\", but the panel warned \"Please ensure you are "
            "online.\"");
  EXPECT_TRUE(Shown("box: Warning: Please ensure you are online. [1 OK]")) << Transcript();
  EXPECT_TRUE(Shown("box answered 1 (no answer queued: the first button)")) << Transcript();
  const std::vector<fbsdk_control::MessageBoxRecord> boxes = fbsdk_control::MessageBoxesShown();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().answer, 1);
}

TEST_F(HeadlessScript, QueuedAnswerWithoutItsButtonFailsTheCommand) {
  CommandInterpreter interpreter(Options(), Writer());
  ASSERT_TRUE(Run(interpreter, "load\ndevice\nanswer 3 1\n").mExitCode == kmq::kExitOk)
      << Transcript();
  // Without a header the rebuild leaves no template, and shows its box all the same.
  const CommandAnswer first = interpreter.Execute("rebuild");
  EXPECT_FALSE(first.mOk);
  EXPECT_EQ(first.mLine,
            "error the queued answer 3 has no button in the box \"Info\"; it was answered 1");
  const CommandAnswer second = interpreter.Execute("rebuild");
  EXPECT_TRUE(second.mOk) << second.mLine;
  EXPECT_EQ(second.mLine,
            "ok clicked \"Rebuild Skeleton Template\": 0 templates below \"Reference\" (no header "
            "has arrived)");
  EXPECT_TRUE(Shown("box answered 1 (queued)")) << Transcript();
}

TEST_F(HeadlessScript, UserAnswersBoxesAtThePrompt) {
  std::deque<std::string> typed = {"yes", "7", " 1 "};
  std::vector<std::string> prompts;
  auto ask = [&](const std::string& prompt, std::string* line) {
    prompts.push_back(prompt);
    if (typed.empty()) return false;
    *line = typed.front();
    typed.pop_front();
    return true;
  };
  CommandInterpreter interpreter(Options(), Writer(), ask, true);
  ASSERT_TRUE(interpreter.Execute("load").mOk);
  ASSERT_TRUE(interpreter.Execute("device").mOk);
  EXPECT_TRUE(interpreter.Execute("rebuild").mOk);
  EXPECT_EQ(prompts, (std::vector<std::string>{"answer 1-1> ", "answer 1-1> ", "answer 1-1> "}));
  EXPECT_EQ(std::count(mOut.begin(), mOut.end(), "box: type a button number from 1 to 1"), 2);
  // At the end of the input the first button is pressed.
  EXPECT_TRUE(interpreter.Execute("rebuild").mOk);
  EXPECT_TRUE(Shown("box answered 1 (end of input: the first button)")) << Transcript();
}

TEST_F(HeadlessScript, PipedInputKeepsALineThatIsNoAnswerAsTheNextCommand) {
  std::deque<std::string> input = {"load",    "device", "rebuild", "status",
                                   "rebuild", "1",      "quit",    "bind"};
  auto read = [&](const std::string&, std::string* line) {
    if (input.empty()) return false;
    *line = input.front();
    input.pop_front();
    return true;
  };
  CommandInterpreter interpreter(Options(), Writer(), read, false);
  EXPECT_EQ(kmq::RunInteractive(interpreter, read, Writer()), kmq::kExitOk);
  std::vector<std::string> answers;
  for (const std::string& line : mOut) {
    if (line.rfind("ok", 0) == 0 || line.rfind("error", 0) == 0) answers.push_back(line);
  }
  ASSERT_EQ(answers.size(), 6u) << Transcript();
  // The first box found "status" where its answer should be: it got the first button, and
  // "status" ran as the next command. The second box was answered by the input.
  EXPECT_EQ(answers[2].rfind("ok clicked \"Rebuild Skeleton Template\"", 0), 0u) << Transcript();
  EXPECT_EQ(answers[3].rfind("ok plug-in loaded", 0), 0u) << Transcript();
  EXPECT_EQ(answers[4].rfind("ok clicked \"Rebuild Skeleton Template\"", 0), 0u) << Transcript();
  EXPECT_EQ(answers[5], "ok bye");
  EXPECT_EQ(std::count(mOut.begin(), mOut.end(),
                       "box answered 1 (the input gave no button number: the first button)"),
            1)
      << Transcript();
  EXPECT_EQ(input, std::deque<std::string>{"bind"});
}

// ---- A bound skeleton ----

TEST_F(HeadlessScript, SecondCharacterizationOfTheSameNameCanBeDeclined) {
  CommandInterpreter interpreter(Options(), Writer());
  const ScriptResult setUp = Run(interpreter,
                                 "record 1\nexport\nserve cmu_12_01_walk.bvh cmu_01_01.bvh\n"
                                 "load\ndevice\nonline\nwait actors\nchoose tag 1\nchoose 1\n"
                                 "choose cmu_01_01\nwait templates\nskeleton\nbind\n",
                                 true);
  ASSERT_EQ(setUp.mErrors, 2) << Transcript();  // record and export before anything exists
  EXPECT_TRUE(Shown("error no device yet")) << Transcript();
  EXPECT_TRUE(Shown("error no skeleton yet: nothing was recorded")) << Transcript();
  EXPECT_TRUE(Shown("ok [1] tag 2 \"cmu_01_01\" is chosen already; nothing changes"))
      << Transcript();
  EXPECT_EQ(interpreter.Execute("choose tag 9").mLine,
            "error the actor list has no actor with tag 9 (actors lists it)");
  EXPECT_EQ(interpreter.Execute("choose nobody").mLine,
            "error the actor list has no actor named \"nobody\" (actors lists it)");

  mOut.clear();
  const ScriptResult first = Run(interpreter, "characterize\nwait characterized\ncharacters\n");
  ASSERT_EQ(first.mExitCode, kmq::kExitOk) << Transcript();
  EXPECT_TRUE(Shown("ok character \"Reference\" is characterized")) << Transcript();

  mOut.clear();
  const ScriptResult second = Run(interpreter, "answer 2\ncharacterize\nwait characterized\n");
  EXPECT_EQ(second.mErrors, 1) << Transcript();
  EXPECT_TRUE(
      Shown("box: Warning: This model may have been characterized according it's name, "
            "continue anyway? [1 Yes, 2 No]"))
      << Transcript();
  EXPECT_TRUE(Shown("box answered 2 (queued)")) << Transcript();
  EXPECT_TRUE(Shown("error the characterization was declined")) << Transcript();
  EXPECT_EQ(interpreter.Host().Characters().size(), 1u);

  // A new skeleton needs the old one unbound first.
  EXPECT_EQ(interpreter.Execute("skeleton Other").mLine,
            "error the skeleton is bound: unbind it before making a new one");
  EXPECT_TRUE(interpreter.Execute("unbind").mOk);
  EXPECT_EQ(interpreter.Execute("unbind").mLine, "error no skeleton is bound");
  EXPECT_EQ(interpreter.Execute("record 0.1").mLine,
            "error no skeleton is bound: nothing would be recorded");
  EXPECT_TRUE(interpreter.Execute("skeleton Other").mOk);
  EXPECT_EQ(interpreter.Execute("export").mLine,
            "error nothing was recorded: the skeleton has no key");
}

// ---- Options and input ----

TEST(HeadlessScriptOptions, ModesAndTheirConflicts) {
  HostOptions options = kmq::DefaultHostOptions();
  bool help = false;
  std::string error;
  ASSERT_TRUE(kmq::ParseHostOptions({"--script", "s.kmq", "--keep-going", "--timeout", "3"},
                                    &options, &help, &error))
      << error;
  EXPECT_EQ(options.mScriptPath, "s.kmq");
  EXPECT_TRUE(options.mKeepGoing);
  EXPECT_FALSE(options.mInteractive);
  EXPECT_NE(options.mCaptureDir.find("bvh"), std::string::npos);

  options = kmq::DefaultHostOptions();
  ASSERT_TRUE(kmq::ParseHostOptions({"--interactive"}, &options, &help, &error)) << error;
  EXPECT_TRUE(options.mInteractive);

  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--interactive", "--script", "s.kmq"},
                                             {"--keep-going"},
                                             {"--script"},
                                             {"--script", ""},
                                             {"--interactive", "--keep-going"}}) {
    options = kmq::DefaultHostOptions();
    EXPECT_FALSE(kmq::ParseHostOptions(args, &options, &help, &error)) << args[0];
  }
}

TEST(HeadlessScriptInput, FdLineReaderReadsLinesUntilTheEnd) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string text = "first\r\n\nsecond line\nlast";
  ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fds[1]);
  kmq::FdLineReader reader(fds[0]);
  EXPECT_FALSE(reader.IsTerminal());
  std::vector<std::string> lines;
  std::string line;
  while (reader.Read("kmq> ", &line)) lines.push_back(line);
  ::close(fds[0]);
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "", "second line", "last"}));
}

TEST(HeadlessScriptInput, FdLineReaderStopsWhenAStopIsRequested) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  kmq::FdLineReader reader(fds[0]);
  kmq::RequestHeadlessStop();
  std::string line;
  EXPECT_FALSE(reader.Read("", &line));
  kmq::ClearHeadlessStop();
  ::close(fds[1]);
  ::close(fds[0]);
}

}  // namespace
