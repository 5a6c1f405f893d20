#include "platform/qtui/qt_front_end.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "platform/qtui/error_report.h"
#include "platform/qtui/picture_render.h"
#include "platform/qtui/text_map.h"
#include "platform/ui/check_box.h"
#include "platform/ui/command_button.h"
#include "platform/ui/label.h"
#include "platform/ui/list_box.h"
#include "platform/ui/picture_box.h"
#include "platform/ui/text_box.h"
#include "platform/ui/twips.h"

namespace qtui {

namespace {

int Px(double twips) { return ui::TwipsToPixels(twips); }

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Counts nested mirroring so that signals it causes are recognised.
struct Nest {
  explicit Nest(int& n) : n_(n) { ++n_; }
  ~Nest() { --n_; }
  Nest(const Nest&) = delete;
  Nest& operator=(const Nest&) = delete;

 private:
  int& n_;
};

Qt::CursorShape ShapeOf(int pointer) {
  switch (pointer) {
    case 2:
      return Qt::CrossCursor;
    case 3:
      return Qt::IBeamCursor;
    case 5:
    case 15:
      return Qt::SizeAllCursor;
    case 6:
      return Qt::SizeBDiagCursor;
    case 7:
      return Qt::SizeVerCursor;
    case 8:
      return Qt::SizeFDiagCursor;
    case 9:
      return Qt::SizeHorCursor;
    case 10:
      return Qt::UpArrowCursor;
    case ui::vbHourglass:
      return Qt::WaitCursor;
    case 12:
      return Qt::ForbiddenCursor;
    case 13:
      return Qt::BusyCursor;
    case 14:
      return Qt::WhatsThisCursor;
    default:
      return Qt::ArrowCursor;
  }
}

// Shows a password box's text as one mask character per character.
class MaskStyle : public QProxyStyle {
 public:
  MaskStyle(const QString& base, char16_t mask) : QProxyStyle(base), mask_(mask) {}
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return mask_;
    return QProxyStyle::styleHint(hint, option, widget, data);
  }

 private:
  char16_t mask_;
};

}  // namespace

namespace internal {

struct FormBinding;

struct Binding {
  ui::Control* control = nullptr;
  FormBinding* form = nullptr;
  QWidget* widget = nullptr;
  int mirroring = 0;    // > 0 while the front end writes to the widget
  int from_widget = 0;  // > 0 while the widget's caret is copied to the model
  std::vector<std::unique_ptr<QStyle>> styles;  // outlive every widget using them
  std::vector<std::string> shown_items;         // a list's entries as the widget has them
  std::vector<char> shown_selected;
  std::uint64_t shown_edits = 0;  // the list's Edits() when shown_items was last whole
};

class FormWindow;

struct FormBinding {
  ui::Form* form = nullptr;
  std::vector<std::unique_ptr<Binding>> controls;
  std::unique_ptr<FormWindow> window;  // destroyed before the bindings
  int mirroring = 0;
};

struct FrontEndImpl {
  ui::Program* program;
  ui::Dialogs* previous_dialogs;
  QtDialogs dialogs;
  QtFrontEnd::ErrorHandler error_handler;
  int exit_code = 0;
  std::vector<std::unique_ptr<FormBinding>> forms;
  std::unordered_map<const ui::Control*, Binding*> by_control;
  std::vector<const ui::Form*> busy;  // forms showing a pointer, latest last
  bool override_cursor = false;
  // The window the model last made active while the window system had not
  // yet followed: activations the window system reports for other windows
  // until then are stale and must not take activation back.
  QWidget* pending_active = nullptr;

  explicit FrontEndImpl(ui::Program& p) : program(&p), previous_dialogs(&p.dialogs()) {}

  template <typename F>
  void Safely(F&& f) {
    try {
      f();
    } catch (const std::exception& e) {
      ReportError(e);
    } catch (...) {
      ReportError(std::runtime_error("unknown exception"));
    }
  }
  void ReportError(const std::exception& e);

  void Attach(ui::Form& form);
  QWidget* CreateWidget(Binding& b, QWidget* parent);
  void MirrorAll(Binding& b);
  void Mirror(Binding& b, ui::Property what);
  void MirrorForm(FormBinding& fb, ui::Property what);
  void MirrorText(Binding& b);
  void MirrorTextStyle(Binding& b);
  void MirrorItems(Binding& b);
  // check_widget: compare with the widget itself, not with what was last shown.
  // Shows the model's selection: of every entry from `first` on, or, by
  // default, of the one entry the model names (every entry when it names
  // none, or when check_widget asks to undo what the widget changed).
  static constexpr std::size_t kEveryEntry = static_cast<std::size_t>(-1);
  void MirrorSelection(Binding& b, bool check_widget = false, std::size_t first = kEveryEntry);
  void ApplyTabOrder(FormBinding& fb);
  void UpdateCursor(const ui::Form& form);
  void HideAll();

  // User actions.
  void CheckClicked(Binding& b);
  void ButtonClicked(Binding& b);
  void ListClicked(Binding& b, int row);
  bool TextKey(Binding& b, QKeyEvent* e);
  void TextEditedInWidget(Binding& b);
  void CaretMovedInWidget(Binding& b);
  void WindowActivated(FormBinding& fb);
  bool WindowClosing(FormBinding& fb);
};

class FormWindow : public QWidget {
 public:
  FormWindow(FrontEndImpl* impl, FormBinding* fb) : impl_(impl), fb_(fb) {}

 protected:
  void closeEvent(QCloseEvent* e) override {
    if (impl_->WindowClosing(*fb_)) {
      e->accept();
    } else {
      e->ignore();
    }
  }
  void changeEvent(QEvent* e) override {
    QWidget::changeEvent(e);
    if (e->type() == QEvent::ActivationChange && isActiveWindow()) impl_->WindowActivated(*fb_);
  }

 private:
  FrontEndImpl* impl_;
  FormBinding* fb_;
};

// A check box whose caption wraps when the box is tall enough, as the
// layouts in twips expect; the whole box takes clicks.
class CheckWidget : public QCheckBox {
 public:
  CheckWidget(FrontEndImpl* impl, Binding* b, QWidget* parent)
      : QCheckBox(parent), impl_(impl), b_(b), caption_(new QLabel(this)) {
    setTristate(true);  // to show a grayed value; the model decides every change
    caption_->setTextFormat(Qt::PlainText);
    caption_->setWordWrap(true);
    caption_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    caption_->setAttribute(Qt::WA_TransparentForMouseEvents);
  }

  void SetCaption(const QString& text) {
    caption_->setText(text);
    setAccessibleName(text);
  }

 protected:
  // Qt's own toggling would change the box behind the model's back.
  void nextCheckState() override { impl_->CheckClicked(*b_); }
  bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
  void resizeEvent(QResizeEvent* e) override {
    QCheckBox::resizeEvent(e);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QRect box = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
    const int left =
        box.right() + 1 + style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, this);
    caption_->setGeometry(left, 0, std::max(0, width() - left), height());
  }

 private:
  FrontEndImpl* impl_;
  Binding* b_;
  QLabel* caption_;
};

class ListWidget : public QListWidget {
 public:
  ListWidget(FrontEndImpl* impl, Binding* b, QWidget* parent)
      : QListWidget(parent), impl_(impl), b_(b) {
    setSelectionMode(QAbstractItemView::MultiSelection);
  }

 protected:
  // The user never changes the selection directly: each click goes to the
  // model, and the model's selection is mirrored back.
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex&,
                                                       const QEvent*) const override {
    return QItemSelectionModel::NoUpdate;
  }
  void mousePressEvent(QMouseEvent* e) override {
    QListWidget::mousePressEvent(e);
    ClickAt(e);
  }
  // Each click of a double click toggles, as in a multiple-selection list.
  void mouseDoubleClickEvent(QMouseEvent* e) override {
    QListWidget::mouseDoubleClickEvent(e);
    ClickAt(e);
  }
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_Space && e->modifiers() == Qt::NoModifier) {
      if (currentRow() >= 0) impl_->ListClicked(*b_, currentRow());
      return;
    }
    if (e->matches(QKeySequence::SelectAll)) return;
    QListWidget::keyPressEvent(e);
  }

 private:
  void ClickAt(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    const QModelIndex index = indexAt(e->position().toPoint());
    if (index.isValid()) impl_->ListClicked(*b_, index.row());
  }

  FrontEndImpl* impl_;
  Binding* b_;
};

class LineWidget : public QLineEdit {
 public:
  LineWidget(FrontEndImpl* impl, Binding* b, QWidget* parent)
      : QLineEdit(parent), impl_(impl), b_(b) {
    setMaxLength(std::numeric_limits<int>::max());  // the model has no length limit
  }

 protected:
  void keyPressEvent(QKeyEvent* e) override {
    if (!impl_->TextKey(*b_, e)) QLineEdit::keyPressEvent(e);
  }

 private:
  FrontEndImpl* impl_;
  Binding* b_;
};

class AreaWidget : public QPlainTextEdit {
 public:
  AreaWidget(FrontEndImpl* impl, Binding* b, QWidget* parent)
      : QPlainTextEdit(parent), impl_(impl), b_(b) {
    setTabChangesFocus(true);
    setUndoRedoEnabled(false);  // an undo would change the text behind the model's back
  }

 protected:
  void keyPressEvent(QKeyEvent* e) override {
    if (!impl_->TextKey(*b_, e)) QPlainTextEdit::keyPressEvent(e);
  }

 private:
  FrontEndImpl* impl_;
  Binding* b_;
};

class PictureWidget : public QWidget {
 public:
  PictureWidget(const ui::PictureBox* picture, QWidget* parent)
      : QWidget(parent), picture_(picture) {
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.drawImage(0, 0, RenderPicture(*picture_, size()));
  }

 private:
  const ui::PictureBox* picture_;
};

namespace {

ui::TextBox& TextOf(Binding& b) { return static_cast<ui::TextBox&>(*b.control); }

QString WidgetString(QWidget* w) {
  if (auto* line = dynamic_cast<QLineEdit*>(w)) return line->text();
  if (auto* area = dynamic_cast<QPlainTextEdit*>(w)) return area->toPlainText();
  return {};
}

}  // namespace

// ---- errors -----------------------------------------------------------------

void FrontEndImpl::ReportError(const std::exception& e) {
  if (error_handler) {
    try {
      error_handler(e);
    } catch (...) {
      // A failing report must not unwind through Qt either.
    }
    return;
  }
  try {
    dialogs.MsgBox(ui::MessageBox{RuntimeErrorMessage(e), ui::vbCritical, ""});
  } catch (...) {
  }
  exit_code = 1;
  program->End();
}

// ---- creation ---------------------------------------------------------------

void FrontEndImpl::Attach(ui::Form& form) {
  for (const auto& fb : forms) {
    if (fb->form == &form) return;
  }
  auto fb = std::make_unique<FormBinding>();
  fb->form = &form;
  fb->window = std::make_unique<FormWindow>(this, fb.get());
  // The layouts in twips are made for a small, narrow dialog font (8 points
  // at 96 dots per inch); the desktop's default would overflow the labels.
  QFont font = fb->window->font();
  font.setPixelSize(11);
  font.setStretch(80);
  fb->window->setFont(font);
  FormBinding* f = fb.get();
  for (ui::Control* c : form.Controls()) {
    auto b = std::make_unique<Binding>();
    b->control = c;
    b->form = f;
    CreateWidget(*b, f->window.get());
    by_control[c] = b.get();
    Binding* raw = b.get();
    c->SetObserver([this, raw](ui::Control&, ui::Property what) { Mirror(*raw, what); });
    f->controls.push_back(std::move(b));
  }
  forms.push_back(std::move(fb));
  form.SetObserver([this, f](ui::Form&, ui::Property what) { MirrorForm(*f, what); });
  for (auto& b : f->controls) MirrorAll(*b);
  ApplyTabOrder(*f);
  for (ui::Property p : {ui::Property::Caption, ui::Property::Geometry, ui::Property::Enabled,
                         ui::Property::MousePointer, ui::Property::State}) {
    MirrorForm(*f, p);
  }
}

QWidget* FrontEndImpl::CreateWidget(Binding& b, QWidget* parent) {
  QWidget* w = nullptr;
  switch (b.control->Kind()) {
    case ui::ControlKind::Label: {
      auto* label = new QLabel(parent);
      label->setTextFormat(Qt::PlainText);
      label->setWordWrap(true);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      w = label;
      break;
    }
    case ui::ControlKind::CommandButton: {
      auto* button = new QPushButton(parent);
      button->setAutoDefault(false);
      QObject::connect(button, &QPushButton::clicked, [this, &b] { ButtonClicked(b); });
      w = button;
      break;
    }
    case ui::ControlKind::CheckBox:
      w = new CheckWidget(this, &b, parent);
      break;
    case ui::ControlKind::TextBox:
      if (TextOf(b).MultiLine()) {
        auto* area = new AreaWidget(this, &b, parent);
        QObject::connect(area, &QPlainTextEdit::textChanged, [this, &b] {
          if (b.mirroring == 0) TextEditedInWidget(b);
        });
        QObject::connect(area, &QPlainTextEdit::cursorPositionChanged,
                         [this, &b] { CaretMovedInWidget(b); });
        QObject::connect(area, &QPlainTextEdit::selectionChanged,
                         [this, &b] { CaretMovedInWidget(b); });
        w = area;
      } else {
        auto* line = new LineWidget(this, &b, parent);
        QObject::connect(line, &QLineEdit::textEdited, [this, &b] {
          if (b.mirroring == 0) TextEditedInWidget(b);
        });
        QObject::connect(line, &QLineEdit::cursorPositionChanged,
                         [this, &b] { CaretMovedInWidget(b); });
        QObject::connect(line, &QLineEdit::selectionChanged, [this, &b] { CaretMovedInWidget(b); });
        w = line;
      }
      break;
    case ui::ControlKind::ListBox: {
      auto* list = new ListWidget(this, &b, parent);
      // Anything that still changes the selection in the widget is undone.
      QObject::connect(list, &QListWidget::itemSelectionChanged, [this, &b] {
        if (b.mirroring == 0) MirrorSelection(b, true);
      });
      w = list;
      break;
    }
    case ui::ControlKind::PictureBox:
      w = new PictureWidget(static_cast<const ui::PictureBox*>(b.control), parent);
      w->setFocusPolicy(Qt::NoFocus);
      break;
  }
  w->setObjectName(Q(b.control->Name()));
  b.widget = w;
  return w;
}

// ---- mirroring the model ----------------------------------------------------

void FrontEndImpl::MirrorAll(Binding& b) {
  for (ui::Property p : {ui::Property::Style, ui::Property::Caption, ui::Property::Text,
                         ui::Property::Value, ui::Property::Items, ui::Property::Geometry,
                         ui::Property::Visible, ui::Property::Enabled}) {
    Mirror(b, p);
  }
}

void FrontEndImpl::Mirror(Binding& b, ui::Property what) {
  Nest nest(b.mirroring);
  QWidget* w = b.widget;
  ui::Control& c = *b.control;
  switch (what) {
    case ui::Property::Caption:
      if (c.Kind() == ui::ControlKind::Label) {
        static_cast<QLabel*>(w)->setText(Q(static_cast<ui::Label&>(c).Caption()));
      } else if (c.Kind() == ui::ControlKind::CheckBox) {
        static_cast<CheckWidget*>(w)->SetCaption(Q(static_cast<ui::CheckBox&>(c).Caption()));
      } else if (c.Kind() == ui::ControlKind::CommandButton) {
        static_cast<QPushButton*>(w)->setText(Q(static_cast<ui::CommandButton&>(c).Caption()));
      }
      break;
    case ui::Property::Text:
      if (c.Kind() == ui::ControlKind::TextBox) MirrorText(b);
      break;
    case ui::Property::Value:
      if (c.Kind() == ui::ControlKind::CheckBox) {
        const int v = static_cast<ui::CheckBox&>(c).Value();
        static_cast<QCheckBox*>(w)->setCheckState(v == ui::vbChecked  ? Qt::Checked
                                                  : v == ui::vbGrayed ? Qt::PartiallyChecked
                                                                      : Qt::Unchecked);
      }
      break;
    case ui::Property::Geometry:
      w->setGeometry(Px(c.Left()), Px(c.Top()), Px(c.Width()), Px(c.Height()));
      if (c.Kind() == ui::ControlKind::PictureBox) w->update();
      break;
    case ui::Property::TabIndex:
      ApplyTabOrder(*b.form);
      break;
    case ui::Property::Visible:
      w->setVisible(c.Visible());
      break;
    case ui::Property::Enabled:
      w->setEnabled(c.Enabled());
      break;
    case ui::Property::Style:
      if (c.Kind() == ui::ControlKind::TextBox) MirrorTextStyle(b);
      if (c.Kind() == ui::ControlKind::PictureBox) w->update();
      break;
    case ui::Property::Items:
      if (c.Kind() == ui::ControlKind::ListBox) MirrorItems(b);
      break;
    case ui::Property::Selection:
      if (c.Kind() == ui::ControlKind::ListBox) MirrorSelection(b);
      break;
    case ui::Property::Drawing:
      w->update();  // shows when events are next processed
      break;
    case ui::Property::Refresh:
      w->repaint();
      break;
    case ui::Property::MousePointer:
    case ui::Property::State:
      break;
  }
}

void FrontEndImpl::MirrorText(Binding& b) {
  if (b.from_widget > 0) return;  // the widget is the source right now
  Nest nest(b.mirroring);
  ui::TextBox& box = TextOf(b);
  const WidgetText mapped(box.Text(), box.MultiLine());
  const int start = mapped.ToWidget(box.SelStart());
  const int end = mapped.ToWidget(box.SelStart() + box.SelLength());
  if (auto* line = dynamic_cast<QLineEdit*>(b.widget)) {
    if (line->text() != mapped.text()) line->setText(mapped.text());
    if (end > start) {
      line->setSelection(start, end - start);
    } else {
      line->setCursorPosition(start);
    }
  } else if (auto* area = dynamic_cast<QPlainTextEdit*>(b.widget)) {
    if (area->toPlainText() != mapped.text()) area->setPlainText(mapped.text());
    QTextCursor cursor(area->document());
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    area->setTextCursor(cursor);
  }
}

void FrontEndImpl::MirrorTextStyle(Binding& b) {
  ui::TextBox& box = TextOf(b);
  const bool is_area = dynamic_cast<QPlainTextEdit*>(b.widget) != nullptr;
  if (is_area != box.MultiLine()) {
    // A different kind of editor: replace the widget. The old one may be
    // the one whose event is running, so it goes once control returns.
    QWidget* old = b.widget;
    old->hide();
    old->setObjectName(QString());
    CreateWidget(b, old->parentWidget());
    old->deleteLater();
    Nest nest(b.mirroring);
    for (ui::Property p : {ui::Property::Geometry, ui::Property::Visible, ui::Property::Enabled}) {
      Mirror(b, p);
    }
    MirrorTextStyle(b);
    MirrorText(b);
    ApplyTabOrder(*b.form);
    return;
  }
  Nest nest(b.mirroring);
  if (auto* line = dynamic_cast<QLineEdit*>(b.widget)) {
    const QString mask = Q(box.PasswordChar());
    if (mask.isEmpty()) {
      line->setEchoMode(QLineEdit::Normal);
    } else {
      b.styles.push_back(
          std::make_unique<MaskStyle>(QApplication::style()->name(), mask.at(0).unicode()));
      line->setStyle(b.styles.back().get());
      line->setEchoMode(QLineEdit::Password);
    }
  } else if (auto* area = dynamic_cast<QPlainTextEdit*>(b.widget)) {
    const int bars = static_cast<int>(box.ScrollBars());
    area->setVerticalScrollBarPolicy(bars & 2 ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    area->setHorizontalScrollBarPolicy(bars & 1 ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    // Without a horizontal bar, long lines wrap.
    area->setLineWrapMode(bars & 1 ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
  }
}

void FrontEndImpl::MirrorItems(Binding& b) {
  Nest nest(b.mirroring);
  auto& box = static_cast<ui::ListBox&>(*b.control);
  auto* list = static_cast<QListWidget*>(b.widget);
  const std::size_t count = static_cast<std::size_t>(box.ListCount());
  if (b.shown_items.size() > count) {
    // Fewer entries: rebuild, since the model does not say which went.
    list->clear();
    b.shown_items.clear();
    b.shown_selected.clear();
  }
  // Lists are filled one entry at a time. While the model reports appends
  // only, what is shown stands and just the new tail is added; otherwise
  // every entry is compared with what is shown.
  const std::size_t first = b.shown_edits == box.Edits() ? b.shown_items.size() : 0;
  for (std::size_t i = first; i < count; ++i) {
    const std::string& text = box.List(static_cast<int>(i));
    if (i < b.shown_items.size()) {
      if (b.shown_items[i] == text) continue;
      list->item(static_cast<int>(i))->setText(Q(text));
      b.shown_items[i] = text;
    } else {
      list->addItem(Q(text));
      b.shown_items.push_back(text);
      b.shown_selected.push_back(0);
    }
  }
  b.shown_edits = box.Edits();
  MirrorSelection(b, false, first);
}

void FrontEndImpl::MirrorSelection(Binding& b, bool check_widget, std::size_t first) {
  Nest nest(b.mirroring);
  auto& box = static_cast<ui::ListBox&>(*b.control);
  auto* list = static_cast<QListWidget*>(b.widget);
  if (b.shown_items.size() != static_cast<std::size_t>(box.ListCount()) ||
      b.shown_edits != box.Edits()) {
    MirrorItems(b);
    return;
  }
  auto sync = [&](int i) {
    const bool selected = box.Selected(i);
    const auto k = static_cast<std::size_t>(i);
    const bool shown = check_widget ? list->item(i)->isSelected() : b.shown_selected[k] != 0;
    if (shown != selected) list->item(i)->setSelected(selected);
    b.shown_selected[k] = selected ? 1 : 0;
  };
  if (first == kEveryEntry && !check_widget && box.SelectionChanged() >= 0 &&
      box.SelectionChanged() < box.ListCount()) {
    sync(box.SelectionChanged());  // one entry changed, as the model says
  } else {
    for (int i = first == kEveryEntry ? 0 : static_cast<int>(first); i < box.ListCount(); ++i) {
      sync(i);
    }
  }
  if (box.ListIndex() >= 0 && box.ListIndex() < list->count() &&
      list->currentRow() != box.ListIndex()) {
    list->selectionModel()->setCurrentIndex(list->model()->index(box.ListIndex(), 0),
                                            QItemSelectionModel::NoUpdate);
  }
}

void FrontEndImpl::ApplyTabOrder(FormBinding& fb) {
  std::vector<QWidget*> chain;
  for (ui::Control* c : fb.form->Controls()) {
    const auto it = by_control.find(c);
    if (it == by_control.end()) continue;
    QWidget* w = it->second->widget;
    if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
  }
  for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

void FrontEndImpl::MirrorForm(FormBinding& fb, ui::Property what) {
  Nest nest(fb.mirroring);
  ui::Form& form = *fb.form;
  FormWindow& window = *fb.window;
  switch (what) {
    case ui::Property::Caption:
      window.setWindowTitle(Q(form.Caption()));
      break;
    case ui::Property::Geometry:
      window.setFixedSize(Px(form.ClientWidth()), Px(form.ClientHeight()));
      break;
    case ui::Property::Enabled:
      window.setEnabled(form.Enabled());
      break;
    case ui::Property::MousePointer:
      UpdateCursor(form);
      break;
    case ui::Property::State:
      if (form.Visible()) {
        if (!window.isVisible()) {
          window.show();
          if (window.focusWidget() == nullptr) {
            // Focus starts on the first control in tab order that takes it.
            for (ui::Control* c : form.Controls()) {
              const auto it = by_control.find(c);
              if (it == by_control.end()) continue;
              QWidget* w = it->second->widget;
              if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(&window) && w->isEnabled()) {
                w->setFocus();
                break;
              }
            }
          }
        }
        if (form.Active() && !window.isActiveWindow()) {
          pending_active = &window;
          window.raise();
          window.activateWindow();
        }
      } else if (window.isVisible()) {
        window.hide();
      }
      if (pending_active == &window && !form.Visible()) pending_active = nullptr;
      UpdateCursor(form);
      break;
    default:
      break;
  }
}

void FrontEndImpl::UpdateCursor(const ui::Form& form) {
  busy.erase(std::remove(busy.begin(), busy.end(), &form), busy.end());
  if (form.Loaded() && form.MousePointer() != ui::vbDefault &&
      form.MousePointer() != ui::vbCustom) {
    busy.push_back(&form);
  }
  if (busy.empty()) {
    if (override_cursor) QGuiApplication::restoreOverrideCursor();
    override_cursor = false;
    return;
  }
  const QCursor cursor(ShapeOf(busy.back()->MousePointer()));
  if (override_cursor) {
    QGuiApplication::changeOverrideCursor(cursor);
  } else {
    QGuiApplication::setOverrideCursor(cursor);
    override_cursor = true;
  }
}

void FrontEndImpl::HideAll() {
  for (auto& fb : forms) {
    Nest nest(fb->mirroring);
    fb->window->hide();
  }
  busy.clear();
  if (override_cursor) QGuiApplication::restoreOverrideCursor();
  override_cursor = false;
}

// ---- user actions -----------------------------------------------------------

void FrontEndImpl::CheckClicked(Binding& b) {
  Safely([&] { static_cast<ui::CheckBox&>(*b.control).Click(); });
  Mirror(b, ui::Property::Value);  // also when the model ignored the click
}

void FrontEndImpl::ButtonClicked(Binding& b) {
  Safely([&] { static_cast<ui::CommandButton&>(*b.control).Click(); });
}

void FrontEndImpl::ListClicked(Binding& b, int row) {
  auto& box = static_cast<ui::ListBox&>(*b.control);
  if (row < box.ListCount()) Safely([&] { box.Click(row); });
  MirrorSelection(b, true);
}

bool FrontEndImpl::TextKey(Binding& b, QKeyEvent* e) {
  ui::TextBox& box = TextOf(b);
  const auto type = [&](std::string_view keys) { Safely([&] { box.Type(keys); }); };
  if (e->matches(QKeySequence::Paste)) {
    const std::string text = ToModelText(QGuiApplication::clipboard()->text(), box.MultiLine());
    if (!text.empty()) Safely([&] { box.Paste(text); });
    return true;
  }
  if (e->matches(QKeySequence::Cut)) {
    if (box.SelLength() > 0) {
      if (box.PasswordChar().empty() || box.MultiLine()) {
        const WidgetText mapped(box.Text(), box.MultiLine());
        const int start = mapped.ToWidget(box.SelStart());
        const int end = mapped.ToWidget(box.SelStart() + box.SelLength());
        QGuiApplication::clipboard()->setText(mapped.text().mid(start, end - start));
      }
      Safely([&] { box.Paste(""); });
    }
    return true;
  }
  if (e->matches(QKeySequence::Undo) || e->matches(QKeySequence::Redo)) return true;
  if (e->matches(QKeySequence::SelectAll) || e->matches(QKeySequence::Copy)) return false;
  const Qt::KeyboardModifiers mods = e->modifiers();
  switch (e->key()) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return false;
    case Qt::Key_Backspace:
      if (mods & (Qt::ControlModifier | Qt::AltModifier)) return false;
      type("\b");
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      type("\r");
      return true;
    case Qt::Key_Escape:
      type("\x1b");
      e->ignore();  // the window may still want it
      return true;
    case Qt::Key_Delete:
      return false;  // the widget deletes; the edit reaches the model as a paste of nothing
    default:
      break;
  }
  if (mods & (Qt::AltModifier | Qt::MetaModifier)) return false;  // mnemonics, shortcuts
  const QString text = e->text();
  if (text.isEmpty()) return false;  // caret movement and selection
  if (text.size() == 1 && text[0] == QChar(0x7F)) return false;
  type(text.toStdString());
  return true;
}

void FrontEndImpl::TextEditedInWidget(Binding& b) {
  // An edit the key filter did not see (context menu, drag and drop, input
  // method, Delete): hand it to the model as pasting the new text over the
  // replaced characters, then show what the model made of it.
  ui::TextBox& box = TextOf(b);
  const bool multi = box.MultiLine();
  const WidgetText mapped(box.Text(), multi);
  const QString now = WidgetString(b.widget);
  if (now != mapped.text()) {
    const TextEdit edit = DiffText(mapped.text(), now);
    const std::size_t start = mapped.ToModel(edit.begin);
    const std::size_t end = mapped.ToModel(edit.end);
    Safely([&] {
      {
        Nest from(b.from_widget);
        box.SelStart(start);
        box.SelLength(end - start);
      }
      box.Paste(ToModelText(edit.inserted, multi));
    });
  }
  MirrorText(b);
}

void FrontEndImpl::CaretMovedInWidget(Binding& b) {
  if (b.mirroring > 0) return;
  ui::TextBox& box = TextOf(b);
  const WidgetText mapped(box.Text(), box.MultiLine());
  // During an edit the caret moves before the text is reported; the edit
  // itself then sets the caret.
  if (WidgetString(b.widget) != mapped.text()) return;
  int start = 0;
  int end = 0;
  if (auto* line = dynamic_cast<QLineEdit*>(b.widget)) {
    if (line->hasSelectedText()) {
      start = line->selectionStart();
      end = line->selectionEnd();
    } else {
      start = end = line->cursorPosition();
    }
  } else if (auto* area = dynamic_cast<QPlainTextEdit*>(b.widget)) {
    const QTextCursor cursor = area->textCursor();
    start = cursor.selectionStart();
    end = cursor.selectionEnd();
  }
  const std::size_t ms = mapped.ToModel(start);
  const std::size_t me = mapped.ToModel(end);
  Nest from(b.from_widget);
  Safely([&] {
    box.SelStart(ms);
    box.SelLength(me - ms);
  });
}

void FrontEndImpl::WindowActivated(FormBinding& fb) {
  if (pending_active != nullptr) {
    if (pending_active != fb.window.get()) return;
    pending_active = nullptr;
  }
  if (fb.mirroring > 0) return;
  ui::Form& form = *fb.form;
  if (!form.Loaded() || !form.Visible() || form.Active()) return;
  Safely([&] { form.Activate(); });
}

bool FrontEndImpl::WindowClosing(FormBinding& fb) {
  if (fb.mirroring > 0 || !fb.form->Loaded()) return true;
  // The model unloads the form and hides the window itself.
  Safely([&] { fb.form->Unload(); });
  return false;
}

}  // namespace internal

// ---- QtFrontEnd -------------------------------------------------------------

using internal::FrontEndImpl;

QtFrontEnd::QtFrontEnd(ui::Program& program) : impl_(std::make_unique<FrontEndImpl>(program)) {
  FrontEndImpl* impl = impl_.get();
  program.SetDialogs(impl->dialogs);
  program.SetDoEventsHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
  program.SetEndHook([impl] {
    impl->HideAll();
    QCoreApplication::exit(impl->exit_code);
  });
  for (ui::Form* form : program.Forms()) impl->Attach(*form);
}

QtFrontEnd::~QtFrontEnd() {
  FrontEndImpl& impl = *impl_;
  for (auto& fb : impl.forms) {
    fb->form->SetObserver({});
    for (auto& b : fb->controls) b->control->SetObserver({});
  }
  impl.program->SetEndHook({});
  impl.program->SetDoEventsHook({});
  impl.program->SetDialogs(*impl.previous_dialogs);
  impl.HideAll();
}

void QtFrontEnd::Attach(ui::Form& form) { impl_->Attach(form); }

QWidget* QtFrontEnd::Window(const ui::Form& form) const {
  for (const auto& fb : impl_->forms) {
    if (fb->form == &form) return fb->window.get();
  }
  return nullptr;
}

QWidget* QtFrontEnd::Widget(const ui::Control& control) const {
  const auto it = impl_->by_control.find(&control);
  return it == impl_->by_control.end() ? nullptr : it->second->widget;
}

QtDialogs& QtFrontEnd::dialogs() { return impl_->dialogs; }

void QtFrontEnd::SetErrorHandler(ErrorHandler handler) {
  impl_->error_handler = std::move(handler);
}

int QtFrontEnd::Run() {
  if (!impl_->program->Ended()) {
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QApplication::exec();
    // Quit from outside (the session ending): the program ends with it.
    if (!impl_->program->Ended()) impl_->program->End();
  }
  return impl_->exit_code;
}

}  // namespace qtui
