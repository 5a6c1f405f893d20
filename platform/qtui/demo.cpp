// qtui-demo: one window with a control of each kind and a progress bar, to
// look at the Qt front end by eye.
//
//   qtui-demo                   opens the window
//   qtui-demo --screenshot F    renders the window into the PNG file F and exits

#include <QApplication>
#include <QPixmap>
#include <cmath>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/qtui/qt_front_end.h"
#include "platform/ui/ui.h"

namespace {

// Draws one progress frame: the percentage in the middle, the bar up to `pos`.
void DrawProgress(ui::PictureBox& pic, int pos) {
  const double percent = std::nearbyint(pos / pic.ScaleWidth() * 100);
  const std::string text = std::to_string(static_cast<int>(percent)) + "%";
  pic.Cls();
  pic.CurrentX(std::trunc(std::nearbyint(pic.ScaleWidth() - pic.TextWidth(text)) / 2));
  pic.CurrentY(std::trunc(std::nearbyint(pic.ScaleHeight() - pic.TextHeight(text)) / 2));
  pic.Print(text);
  pic.Line(0, 0, pos, pic.ScaleHeight(), pic.ForeColor(), ui::LineShape::BoxFilled);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("qtui-demo");
  const char* screenshot = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
      screenshot = argv[++i];
    } else {
      std::cerr << "usage: qtui-demo [--screenshot FILE.png]\n";
      return 2;
    }
  }

  ui::ScriptedDialogs unused;
  ui::Program program(unused);
  ui::Form form(program, "DemoForm");
  form.Caption("qtui demo");
  form.ClientSize(6000, 5400);

  auto& label = form.Add<ui::Label>("Label1");
  label.Caption("A label whose caption is long enough to wrap onto a second line.");
  label.Move(120, 120, 2800, 660);
  auto& name = form.Add<ui::TextBox>("txtName");
  name.Move(3120, 120, 2760, 285);
  name.Text("plain text box");
  name.TabIndex(1);
  auto& pwd = form.Add<ui::TextBox>("txtPwd");
  pwd.PasswordChar("*");
  pwd.Move(3120, 480, 2760, 285);
  pwd.Text("secret");
  pwd.TabIndex(2);
  auto& digits = form.Add<ui::TextBox>("txtDigits");
  digits.Move(3120, 840, 1200, 285);
  digits.Text("65500");
  digits.TabIndex(3);
  digits.OnKeyPress([](int& key) {
    if (!(key >= '0' && key <= '9') && key != ui::vbKeyBack) key = 0;
  });
  auto& check = form.Add<ui::CheckBox>("Check1");
  check.Caption("Refuses a tick while nothing is selected");
  check.Move(120, 1260, 4500, 300);
  check.TabIndex(4);
  auto& list = form.Add<ui::ListBox>("List1");
  list.Move(120, 1620, 5760, 1000);
  list.TabIndex(5);
  for (const char* entry :
       {"Alice / SRV1 / alice@example.org / alice", "Bob / SRV1 / bob@example.org / bob",
        "Carol / SRV1 / carol@example.org / carol"}) {
    list.AddItem(entry);
  }
  list.Selected(1, true);
  check.OnClick([&] {
    if (check.Value() > 0 && list.SelCount() < 1) {
      program.MsgBox("Please select an entry first", ui::vbInformation, form.Caption());
      check.Value(0);
    }
  });
  auto& log = form.Add<ui::TextBox>("txtLog");
  log.MultiLine(true);
  log.ScrollBars(ui::ScrollBars::Vertical);
  log.Move(120, 2700, 5760, 1100);
  log.Text("first line\r\nsecond line\r\nthird line\r\nfourth line\r\nfifth line");
  log.TabIndex(6);
  auto& pic = form.Add<ui::PictureBox>("Picture1");
  pic.Move(120, 3900, 5760, 375);
  pic.FontBold(true);
  pic.AutoRedraw(true);
  pic.BackColor(ui::vbWhite);
  pic.DrawMode(ui::vbNotXorPen);
  pic.FillStyle(ui::vbFSSolid);
  pic.ForeColor(ui::vbBlue);
  pic.ScaleWidth(1000);
  DrawProgress(pic, 500);  // the text straddles the end of the bar
  auto& run = form.Add<ui::CommandButton>("Command1");
  run.Caption("Run progress");
  run.Move(120, 4800, 1575, 375);
  run.TabIndex(7);
  auto& exit_button = form.Add<ui::CommandButton>("Command2");
  exit_button.Caption("Exit");
  exit_button.Move(4305, 4800, 1575, 375);
  exit_button.TabIndex(8);
  run.OnClick([&] {
    form.MousePointer(ui::vbHourglass);
    pic.ScaleWidth(400);
    for (int i = 0; i <= 400 && !program.Ended(); ++i) {
      DrawProgress(pic, i);
      program.DoEvents();
    }
    form.MousePointer(ui::vbDefault);
  });
  exit_button.OnClick([&] { form.Unload(); });

  qtui::QtFrontEnd front_end(program);
  form.Show();
  if (screenshot != nullptr) {
    QApplication::processEvents();
    QWidget* window = front_end.Window(form);
    if (!window->grab().save(QString::fromLocal8Bit(screenshot), "PNG")) {
      std::cerr << "qtui-demo: cannot write " << screenshot << "\n";
      return 1;
    }
    return 0;
  }
  return front_end.Run();
}
