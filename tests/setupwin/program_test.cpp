// The real ZenthraSetup on a virtual display: the disclaimer is accepted by a
// click, the setup window comes up with its lists filled and split by
// registration state, and Exit ends the program with status 0.
//
// Needs Xvfb and xdotool; the test is skipped without them. Set
// ZENTHRA_SCREENSHOT to a file name to keep the picture of the window.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/twips.h"
#include "setup/Items.h"
#include "tests/setupwin/window_fixture.h"

namespace {

using namespace std::chrono_literals;
using setupwintest::HomeOn;
using setupwintest::Ldif;
namespace fs = std::filesystem;

bool OnPath(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// A child process that is ended (if still running) and reaped on destruction.
class Child {
 public:
  // argv[0] is looked up on PATH. env entries "NAME=value" are added to the
  // environment; output goes to log, input comes from input (else nothing).
  // keep_fd stays open in the child.
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
        const fs::path& cwd, const fs::path& log, int keep_fd = -1, const fs::path& input = {}) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    // An entry of env replaces the inherited variable of the same name.
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const std::string& o : env) replaced = replaced || o.rfind(name, 0) == 0;
      if (!replaced) envStrings.push_back(entry);
    }
    for (const std::string& e : env) envStrings.push_back(e);
    std::vector<char*> envp;
    for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(cwd.c_str()) != 0) ::_exit(126);
      if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
      }
      const int in = ::open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
      if (in >= 0) ::dup2(in, 0);
      if (keep_fd >= 0) ::fcntl(keep_fd, F_SETFD, 0);
      ::execvpe(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    if (out >= 0) ::close(out);
  }
  ~Child() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  // The exit status once the child ended within timeout; nullopt otherwise.
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(50ms);
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Standard output of a shell command.
std::string Output(const std::string& command) {
  std::string out;
  if (FILE* f = ::popen(command.c_str(), "r")) {
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    ::pclose(f);
  }
  return out;
}

struct Window {
  std::string id;
  int width = 0;
  int height = 0;
};

// The visible windows captioned "Zenthra setup" with their sizes.
std::vector<Window> SetupWindows() {
  std::vector<Window> windows;
  const std::string ids =
      Output("xdotool search --onlyvisible --name '^Zenthra setup' 2>/dev/null");
  std::size_t start = 0;
  while (start < ids.size()) {
    std::size_t end = ids.find('\n', start);
    if (end == std::string::npos) end = ids.size();
    const std::string id = ids.substr(start, end - start);
    start = end + 1;
    if (id.empty()) continue;
    const std::string geometry = Output("xdotool getwindowgeometry " + id + " 2>/dev/null");
    const std::size_t at = geometry.find("Geometry: ");
    Window w{id};
    if (at == std::string::npos ||
        std::sscanf(geometry.c_str() + at, "Geometry: %dx%d", &w.width, &w.height) != 2) {
      continue;
    }
    windows.push_back(w);
  }
  return windows;
}

// Waits for a visible "Zenthra setup" window of the given client size to be
// there (present) or gone; returns it when present.
std::optional<Window> WaitFor(int width, int height, bool present,
                              std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    std::optional<Window> found;
    for (const Window& w : SetupWindows()) {
      if (w.width == width && w.height == height) found = w;
    }
    if (found.has_value() == present) return found;
    std::this_thread::sleep_for(100ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return present ? std::nullopt : std::optional<Window>(Window{});
}

// Clicks the middle of a control placed at left, top, width, height twips.
void ClickAt(const Window& window, int left, int top, int width, int height) {
  const int x = ui::TwipsToPixels(left + width / 2.0);
  const int y = ui::TwipsToPixels(top + height / 2.0);
  Output("xdotool mousemove --window " + window.id + " " + std::to_string(x) + " " +
         std::to_string(y) + " click 1");
}

// Pixels of text (dark) inside a control's area, its frame left out.
int DarkPixels(const QImage& image, int left, int top, int width, int height) {
  const int x0 = ui::TwipsToPixels(left) + 4, y0 = ui::TwipsToPixels(top) + 4;
  const int x1 = ui::TwipsToPixels(left + width) - 4, y1 = ui::TwipsToPixels(top + height) - 4;
  int dark = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      const QRgb c = image.pixel(x, y);
      if (qRed(c) + qGreen(c) + qBlue(c) < 250) ++dark;
    }
  }
  return dark;
}

// Leak-check settings for the program under a sanitizer build: the test's own
// suppressions, plus the desktop bus library that Qt's platform plugin loads
// and that keeps one buffer for the life of the process.
std::string LeakOptionsFor(const fs::path& dir) {
  std::string rules;
  if (const char* options = std::getenv("LSAN_OPTIONS")) {
    const std::string text = options;
    const std::size_t at = text.find("suppressions=");
    if (at != std::string::npos) {
      const std::size_t end = text.find(':', at);
      rules = ReadFile(text.substr(at + 13, end == std::string::npos ? end : end - at - 13));
    }
  }
  rules += "\nleak:libdbus-1\n";
  const fs::path file = dir / "lsan.supp";
  std::ofstream(file) << rules;
  return "LSAN_OPTIONS=suppressions=" + file.string();
}

class ProgramTest : public setupwintest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    if (!OnPath("Xvfb") || !OnPath("xdotool")) GTEST_SKIP() << "needs Xvfb and xdotool";
  }

  // Starts Xvfb on a free display; returns ":N".
  std::string StartDisplay() {
    int fds[2];
    if (::pipe(fds) != 0) return "";
    xvfb_ = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                 "1024x768x24", "-nolisten", "tcp"},
        std::vector<std::string>{}, temp_, temp_ / "xvfb.log", fds[1]);
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 15000) > 0) {
      char c;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    return number.empty() ? "" : ":" + number;
  }

  std::unique_ptr<Child> xvfb_;
};

TEST_F(ProgramTest, AcceptedDisclaimerOpensTheSetupWindowWithItsListsFilled) {
  // A server with mailboxes in each state and a store-wide registration.
  const std::string sys = SystemMailboxAlias();
  for (const char* alias : {"anna", "bert", "emil"}) store_->AddMailbox(alias);
  store_->AddMailbox("hans", "Posteingang");
  ui::TextBox log("log");
  for (const auto& [base, folder] : std::vector<std::pair<std::string, std::string>>{
           {"bert", "inbox"}, {"hans", "inbox"}, {sys, "StoreEvents/GlobalEvents"}}) {
    ASSERT_NE(Items::CreateRegistrationItem(
                  "file://./backofficestorage/example.com/mbx/" + base, folder, "Zenthra.reg",
                  "onsyncsave", "Zenthra.ZenthraCls", folder == "inbox" ? "SHALLOW" : "ANY",
                  " WHERE \"DAV:ishidden\" = FALSE", "65500", false, log),
              "");
  }
  WriteDirectory(Ldif({
      {"Administrator", setupwintest::CurrentUser(), "administrator@example.com", "", "", false,
       false},
      {"Anna Alpha", "anna", "anna@example.com", "anna", HomeOn("SRV1")},
      {"Bert Beta", "bert", "bert@example.com", "bert", HomeOn("SRV1")},
      {"Carla Far", "carla", "carla@example.com", "carla", HomeOn("SRV2")},
      {"Dora Delta", "dora", "dora@example.com", "dora", HomeOn("SRV1"), true},
      {"Emil Epsilon", "emil", "emil@example.com", "emil", HomeOn("SRV1")},
      {"Hans Theta", "hans", "hans@example.com", "hans", HomeOn("SRV1")},
      {sys, "", sys + "@example.com", sys, HomeOn("SRV1"), true},
  }));
  // The component library beside the program, so the window offers the install.
  const fs::path run = temp_ / "run";
  fs::create_directories(run);
  std::ofstream(run / "Zenthra.dll") << "library";

  const std::string display = StartDisplay();
  ASSERT_FALSE(display.empty()) << "Xvfb did not start";
  ::setenv("DISPLAY", display.c_str(), 1);

  Child program({ZENTHRA_SETUP_EXE},
                {"DISPLAY=" + display, "ZENTHRA_ROOT=" + root_.string(), "QT_QPA_PLATFORM=xcb",
                 LeakOptionsFor(temp_)},
                run, temp_ / "program.log");
  ASSERT_TRUE(program.Started());

  const auto disclaimer = WaitFor(328, 327, true, 20s);
  ASSERT_TRUE(disclaimer) << "no disclaimer window";
  std::this_thread::sleep_for(300ms);
  ClickAt(*disclaimer, 2400, 4200, 975, 495);  // Yes

  const auto setupWindow = WaitFor(642, 522, true, 20s);
  ASSERT_TRUE(setupWindow) << "no setup window after Yes";
  EXPECT_FALSE(WaitFor(328, 327, false, 10s)) << "the disclaimer stayed; program output:\n"
                                              << ReadFile(temp_ / "program.log");

  QImage image;
  {
    int argc = 1;
    char name[] = "setup_window_test";
    char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QGuiApplication app(argc, argv);
    image = QGuiApplication::primaryScreen()
                ->grabWindow(static_cast<WId>(std::stoull(setupWindow->id)))
                .toImage();
  }
  ASSERT_EQ(image.width(), 642);
  ASSERT_EQ(image.height(), 522);
  if (const char* keep = std::getenv("ZENTHRA_SCREENSHOT")) image.save(keep, "PNG");

  // Text stands in the three lists with entries; the store-wide list of
  // stores without the sink is empty.
  EXPECT_GT(DarkPixels(image, 1920, 2250, 7695, 1230), 100) << "MbxInstList";
  EXPECT_GT(DarkPixels(image, 1920, 3645, 7695, 1230), 100) << "MbxUninstList";
  EXPECT_GT(DarkPixels(image, 1920, 4920, 7695, 645), 50) << "SysMbxUninstList";
  EXPECT_EQ(DarkPixels(image, 1920, 1560, 7695, 645), 0) << "SysMbxInstList";

  ClickAt(*setupWindow, 5040, 7245, 1575, 375);  // Exit
  EXPECT_EQ(program.Wait(15s), std::optional<int>(0)) << "program output:\n"
                                                      << ReadFile(temp_ / "program.log");
  ::unsetenv("DISPLAY");
}

TEST_F(ProgramTest, AFailingLoadShowsItsErrorNumberAndEndsWithStatus1) {
  fs::remove(directory::DefaultLdifPath(root_));
  const std::string display = StartDisplay();
  ASSERT_FALSE(display.empty()) << "Xvfb did not start";
  ::setenv("DISPLAY", display.c_str(), 1);
  Child program({ZENTHRA_SETUP_EXE},
                {"DISPLAY=" + display, "ZENTHRA_ROOT=" + root_.string(), "QT_QPA_PLATFORM=xcb",
                 LeakOptionsFor(temp_)},
                temp_, temp_ / "program.log");
  const auto disclaimer = WaitFor(328, 327, true, 20s);
  ASSERT_TRUE(disclaimer) << "no disclaimer window";
  std::this_thread::sleep_for(300ms);
  ClickAt(*disclaimer, 2400, 4200, 975, 495);  // Yes

  // The error's box: titled like the window, neither of the two windows.
  std::optional<Window> box;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!box && std::chrono::steady_clock::now() < deadline) {
    for (const Window& w : SetupWindows()) {
      if (w.width != 328 && w.width != 642) box = w;
    }
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(box) << "no message box; program output:\n" << ReadFile(temp_ / "program.log");
  EXPECT_FALSE(program.Wait(500ms)) << "ended before the box was answered";
  Output("xdotool windowfocus --sync " + box->id + " key Return");
  EXPECT_EQ(program.Wait(15s), std::optional<int>(1)) << "program output:\n"
                                                      << ReadFile(temp_ / "program.log");
  ::unsetenv("DISPLAY");
}

// Without a display the program asks on the terminal.
class TerminalProgramTest : public setupwintest::WindowTest {
 protected:
  // Runs the program with the answers as its input; returns its exit status.
  std::optional<int> Run(const std::string& args, const std::string& answers) {
    std::ofstream(temp_ / "answers") << answers;
    std::vector<std::string> argv = {ZENTHRA_SETUP_EXE};
    if (!args.empty()) argv.push_back(args);
    Child program(
        argv,
        {"DISPLAY=", "WAYLAND_DISPLAY=", "ZENTHRA_ROOT=" + root_.string(), LeakOptionsFor(temp_)},
        temp_, temp_ / "terminal.log", -1, temp_ / "answers");
    return program.Wait(60s);
  }
  std::string Output() { return ReadFile(temp_ / "terminal.log"); }
};

TEST_F(TerminalProgramTest, DeclinedDisclaimerEndsWithStatus2) {
  EXPECT_EQ(Run("-b", "n\n"), std::optional<int>(2)) << Output();
  EXPECT_NE(Output().find("LIMITATION OF LIABILITY."), std::string::npos) << Output();
  EXPECT_NE(Output().find("If  you choose No, install will close. [y/N]"), std::string::npos);
}

TEST_F(TerminalProgramTest, BatchRunWithNothingRegisteredEndsWithStatus0) {
  store_->AddMailbox("anna");
  WriteDirectory(Ldif({{"Anna Alpha", "anna", "anna@example.com", "anna", HomeOn("SRV1")}}));
  std::ofstream(temp_ / "Zenthra.dll") << "library";
  EXPECT_EQ(Run("/B", "y\n"), std::optional<int>(0)) << Output();
}

TEST_F(TerminalProgramTest, BatchRunThatLoggedTheMissingLibraryEndsWithStatus3) {
  EXPECT_EQ(Run("-b", "y\n"), std::optional<int>(3)) << Output();
  EXPECT_NE(Output().find("ZenthraSetup: ["), std::string::npos) << Output();
  EXPECT_NE(Output().find("Zenthra.dll not found. COM+ object installation is impossible."),
            std::string::npos)
      << Output();
}

TEST_F(TerminalProgramTest, AnUntrappedErrorEndsWithItsNumberAndStatus1) {
  fs::remove(directory::DefaultLdifPath(root_));
  EXPECT_EQ(Run("", "y\n"), std::optional<int>(1)) << Output();
  EXPECT_NE(Output().find("Zenthra setup: Run-time error '" +
                          std::to_string(static_cast<std::int32_t>(0x8007203A)) + "'"),
            std::string::npos)
      << Output();
  EXPECT_NE(Output().find("The server is not operational"), std::string::npos) << Output();
}

}  // namespace

namespace {

TEST_F(TerminalProgramTest, HelpIsAnsweredWithoutTheDisclaimer) {
  EXPECT_EQ(Run("--help", ""), std::optional<int>(0)) << Output();
  EXPECT_NE(Output().find("usage: ZenthraSetup [--root DIR] [-b | /b]"), std::string::npos)
      << Output();
  EXPECT_NE(Output().find("  3  errors were logged"), std::string::npos) << Output();
  EXPECT_EQ(Output().find("LIMITATION OF LIABILITY."), std::string::npos) << Output();
}

}  // namespace
