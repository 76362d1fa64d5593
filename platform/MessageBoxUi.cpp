#include "platform/MessageBoxUi.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "platform/DialogUi.h"
#include "res/Resource.h"

namespace {
MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}

// A message box wraps its text at this width, or at half the screen where that is less.
constexpr int kWrapWidth = 500;
// Room kept for a window manager's title bar and borders, so the framed box fits too.
constexpr int kFrameAllowance = 64;

// The box's text: read-only, selectable with the mouse and the keyboard, never read as
// markup (much of it comes from other computers). A word too long for a line breaks
// anywhere; a text too tall for the screen scrolls.
QTextEdit* MakeTextView(QWidget* box, const QString& text) {
    auto* view = new QTextEdit(box);
    view->setObjectName(QStringLiteral("messageText"));
    view->setReadOnly(true);
    view->setAcceptRichText(false);
    view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view->setTabChangesFocus(true);
    view->setFrameShape(QFrame::NoFrame);
    view->viewport()->setAutoFillBackground(false);  // reads as a label on the box
    view->setLineWrapMode(QTextEdit::WidgetWidth);
    view->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->document()->setDocumentMargin(0);
    view->setPlainText(text);  // never setText, which guesses at markup
    return view;
}

// Sizes the text as a message box would (one line as long as it is, longer text wrapped
// at kWrapWidth) while the whole box stays inside the screen's free area.
void FitTextView(QDialog& box, QTextEdit* view, int chromeHeight) {
    box.ensurePolished();  // the fonts the box will be shown with
    QWidget* owner = box.parentWidget();
    const QRect area = (owner ? owner->screen() : box.screen())->availableGeometry();
    // Measured apart: the view lays its own document out at whatever width it has now.
    QTextDocument doc;
    doc.setDefaultFont(view->document()->defaultFont());
    doc.setDefaultTextOption(view->document()->defaultTextOption());
    doc.setDocumentMargin(view->document()->documentMargin());
    doc.setPlainText(view->toPlainText());
    const int natural = static_cast<int>(std::ceil(doc.idealWidth()));
    const int caption = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 50;
    const int wrap = std::min(kWrapWidth, area.width() / 2);
    const int textWidth = std::min(std::max(natural, caption), wrap);
    doc.setTextWidth(textWidth);
    // The view's own layout keeps a cursor's width free at the right edge.
    const int width = textWidth + 2;
    const int height = static_cast<int>(std::ceil(doc.size().height()));
    const int maxHeight = std::max(view->fontMetrics().lineSpacing(), area.height() - kFrameAllowance - chromeHeight);
    if (height <= maxHeight) {
        view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view->setFixedSize(width, height);
    } else {
        view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        view->setFixedSize(width + view->verticalScrollBar()->sizeHint().width(), maxHeight);
    }
}

}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) { Hook() = std::move(hook); }

int ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned style) {
    if (Hook()) return Hook()(MessageBoxRequest{owner, text, caption, style});
    QDialog box(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    box.setObjectName(QStringLiteral("tolvaraMessageBox"));
    box.setWindowTitle(caption);
    BelongToMainWindow(&box);
    if (style & MB_TOPMOST) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);

    auto* layout = new QVBoxLayout(&box);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    auto* row = new QHBoxLayout;
    layout->addLayout(row);
    if ((style & 0xF0) == MB_ICONEXCLAMATION) {
        auto* icon = new QLabel(&box);
        const int size = box.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &box);
        icon->setPixmap(box.style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, &box).pixmap(size, size));
        row->addWidget(icon, 0, Qt::AlignTop);
    }
    QTextEdit* view = MakeTextView(&box, text);
    row->addWidget(view);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &box);
    buttons->setCenterButtons(box.style()->styleHint(QStyle::SH_MessageBox_CenterButtons, nullptr, &box));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    layout->addWidget(buttons);

    const QMargins m = layout->contentsMargins();
    FitTextView(box, view, m.top() + m.bottom() + std::max(0, layout->spacing()) + buttons->sizeHint().height());
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setDefault(true);
    ok->setFocus();  // Enter and Space close the box, as they do a message box's
    box.exec();
    return IDOK;
}

int AfxMessageBox(const QString& text, unsigned style) {
    return ShowMessageBox(nullptr, text, QString::fromLatin1(APPLICATION_TITLE), style);
}
