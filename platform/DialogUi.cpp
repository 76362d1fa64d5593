#include "platform/DialogUi.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTimer>
#include <QFocusEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QTreeWidget>
#include <algorithm>
#include <stdexcept>

#include "platform/IpAddressWidget.h"
#include "res/BitmapsUi.h"

QFont DialogFont(const char* face, int pointSize) {
    // Gulim is not on Linux desktops; these Korean faces stand in for it in this order.
    static const bool substituted = [] {
        const QStringList faces = {"Baekmuk Gulim", "NanumGothic", "Noto Sans CJK KR", "UnDotum"};
        QFont::insertSubstitutions(QStringLiteral("Gulim"), faces);
        QFont::insertSubstitutions(QStringLiteral("굴림"), faces);
        return true;
    }();
    (void)substituted;
    QFont f(QString::fromUtf8(face));
    f.setPixelSize(MulDiv(pointSize, 96, 72));
    return f;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics fm(font);
    const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogBaseUnits{AverageCharWidthFromLetters(letters), fm.height()};
}

CDialogBase::CDialogBase(int templateId, QWidget* parent) : QDialog(parent), template_(FindDialogTemplate(templateId)) {
    if (!template_) throw std::invalid_argument("no dialog template " + std::to_string(templateId));
    hwnd_ = MakeWindowRef(posted_);
    DeliverPostedMessages(this, posted_, [this](PostedMessage& m) { OnPostedMessage(m); });
    Build();
}

CDialogBase::~CDialogBase() { hwnd_.Invalidate(); }



int CDialogBase::ControlId(const QWidget* w) {
    const QVariant v = w ? w->property("dlgId") : QVariant();
    return v.isValid() ? v.toInt() : 0;
}

void CDialogBase::Build() {
    const DialogTemplate& t = *template_;
    setWindowTitle(QString::fromUtf8(t.title));
    const QFont font = DialogFont(t.fontFace, t.pointSize);
    setFont(font);
    units_ = BaseUnitsOf(font);
    const PixelRect size = DialogUnitsToPixels(t.x, t.y, t.w, t.h, units_);
    setFixedSize(size.w, size.h);

    for (const ControlTemplate& c : t.controls) {
        const QString caption = QString::fromUtf8(c.caption);
        QWidget* w = nullptr;
        switch (c.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            auto* b = new QPushButton(caption, this);
            b->setAutoDefault(false);
            if (c.kind == ControlKind::DefPushButton) b->setDefault(true);
            const int id = c.id;
            connect(b, &QPushButton::clicked, this, [this, id] { OnCommand(id); });
            w = b;
            break;
        }
        case ControlKind::GroupBox:
            w = new QGroupBox(caption, this);
            break;
        case ControlKind::RadioButton:
            w = new QRadioButton(caption, this);
            break;
        case ControlKind::CheckBox:
            w = new QCheckBox(caption, this);
            break;
        case ControlKind::Edit: {
            if (c.style & ES_MULTILINE) {
                auto* e = new QPlainTextEdit(this);
                e->setReadOnly(c.style & ES_READONLY);
                // Without automatic horizontal scrolling a multi-line edit wraps its lines.
                e->setLineWrapMode(c.style & ES_AUTOHSCROLL ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
                e->setVerticalScrollBarPolicy(c.style & WS_VSCROLL ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
                w = e;
                break;
            }
            auto* e = new QLineEdit(this);
            e->installEventFilter(this);
            if (c.style & ES_NUMBER)
                e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), e));
            w = e;
            break;
        }
        case ControlKind::Text: {
            auto* l = new QLabel(caption, this);
            // Static text breaks its lines at the control's width, and never reads a
            // caption or a result as markup.
            l->setWordWrap(true);
            l->setTextFormat(Qt::PlainText);
            if (c.style & SS_CENTER) l->setAlignment(Qt::AlignCenter);
            if (c.style & SS_SUNKEN) l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            w = l;
            break;
        }
        case ControlKind::Picture:
        case ControlKind::Icon: {
            auto* l = new QLabel(this);
            l->setPixmap(c.kind == ControlKind::Icon ? LoadIconResource(c.resource).pixmap(32, 32)
                                                     : LoadBitmapResource(c.resource));
            if (c.style & SS_SUNKEN) l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            l->setScaledContents(c.kind == ControlKind::Picture);
            w = l;
            break;
        }
        case ControlKind::ListBox: {
            auto* lb = new QListWidget(this);
            lb->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            lb->setSelectionMode(QAbstractItemView::SingleSelection);
            w = lb;
            break;
        }
        case ControlKind::ListView: {
            // A list whose rows the program supplies gets a plain view for its model.
            QTreeView* lv = c.style & LVS_OWNERDATA ? new QTreeView(this) : new QTreeWidget(this);
            if (auto* items = qobject_cast<QTreeWidget*>(lv)) items->setColumnCount(0);
            lv->setRootIsDecorated(false);
            lv->setItemsExpandable(false);
            lv->setUniformRowHeights(true);
            lv->header()->setStretchLastSection(false);
            lv->header()->setSectionsMovable(false);
            lv->setSelectionMode(QAbstractItemView::SingleSelection);
            lv->setSelectionBehavior(QAbstractItemView::SelectItems);
            lv->setContextMenuPolicy(Qt::CustomContextMenu);
            w = lv;
            break;
        }
        case ControlKind::IpAddress:
            w = new IpAddressWidget(this);
            break;
        }
        if (c.kind == ControlKind::RadioButton && !(c.style & WS_TABSTOP)) w->setFocusPolicy(Qt::ClickFocus);
        const PixelRect r = DialogUnitsToPixels(c.x, c.y, c.w, c.h, units_);
        w->setGeometry(r.x, r.y, r.w, r.h);
        // Earlier controls lie above later ones, so a group box that comes after the
        // edits it frames does not swallow their clicks.
        w->lower();
        w->setProperty("dlgId", c.id);
        if (c.resource) w->setProperty("dlgResource", c.resource);
        if (c.id != IDC_STATIC) w->setObjectName(QStringLiteral("ctl_%1").arg(c.id));
    }
}

QWidget* CDialogBase::GetDlgItem(int id) const {
    if (id == IDC_STATIC) return nullptr;
    for (QObject* o : children()) {
        auto* w = qobject_cast<QWidget*>(o);
        if (w && ControlId(w) == id && w->property("dlgId").isValid()) return w;
    }
    return nullptr;
}

void CDialogBase::SetDlgItemText(int id, const QString& text) {
    QWidget* w = GetDlgItem(id);
    if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(text);
    else if (auto* m = qobject_cast<QPlainTextEdit*>(w)) m->setPlainText(text);
    else if (auto* l = qobject_cast<QLabel*>(w)) l->setText(text);
    else if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(text);
    else if (auto* ip = qobject_cast<IpAddressWidget*>(w)) ip->setAddress(text);
}

// Room for an IPv6 address with its zone; a dotted address is at most 15 characters.
QString CDialogBase::AddressText() const { return GetDlgItemText(IDC_IP_ADDRESS).left(63); }

void CDialogBase::EnableWithAddress(int buttonId) {
    auto* ip = Item<IpAddressWidget>(IDC_IP_ADDRESS);
    QWidget* button = GetDlgItem(buttonId);
    if (!ip || !button) return;
    auto apply = [this, button] { button->setEnabled(AddressText() != QLatin1String(NO_ADDRESS)); };
    if (!button->property("followsAddress").toBool()) {
        button->setProperty("followsAddress", true);
        connect(ip, &IpAddressWidget::fieldChanged, button, apply);
    }
    apply();
}

QString CDialogBase::GetDlgItemText(int id) const {
    QWidget* w = GetDlgItem(id);
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* m = qobject_cast<QPlainTextEdit*>(w)) return m->toPlainText();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* ip = qobject_cast<IpAddressWidget*>(w)) return ip->text();
    return {};
}

bool CDialogBase::IsDlgButtonChecked(int id) const {
    auto* b = qobject_cast<QAbstractButton*>(GetDlgItem(id));
    return b && b->isChecked();
}

void CDialogBase::CheckDlgButton(int id, bool checked) {
    auto* b = qobject_cast<QAbstractButton*>(GetDlgItem(id));
    if (!b) return;
    // An exclusive radio button ignores being cleared directly.
    const bool exclusive = b->autoExclusive();
    if (!checked && exclusive) b->setAutoExclusive(false);
    b->setChecked(checked);
    if (!checked && exclusive) b->setAutoExclusive(true);
}

void CDialogBase::OnCommand(int id) {
    if (id == IDOK) OnOK();
    else if (id == IDCANCEL) OnCancel();
}

namespace {
QPointer<QWidget>& MainWindowRef() {
    static QPointer<QWidget> window;
    return window;
}
}  // namespace

void SetMainWindow(QWidget* window) { MainWindowRef() = window; }
QWidget* MainWindow() { return MainWindowRef().data(); }

void BelongToMainWindow(QWidget* window) {
    QWidget* owner = MainWindow();
    if (!owner || owner == window) return;
    if (!window->parentWidget()) window->setParent(owner, window->windowFlags());
    window->setWindowModality(Qt::WindowModal);
}

bool CDialogBase::eventFilter(QObject* watched, QEvent* e) {
    // An edit that gets the focus from the keyboard or from the dialog selects its text,
    // so typing replaces it; a mouse click only places the caret.
    if (e->type() == QEvent::FocusIn) {
        if (auto* edit = qobject_cast<QLineEdit*>(watched)) {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(e)->reason();
            if (reason != Qt::MouseFocusReason && reason != Qt::PopupFocusReason)
                QTimer::singleShot(0, edit, [edit] { edit->selectAll(); });
        }
    }
    return QDialog::eventFilter(watched, e);
}

int CDialogBase::DoModal() {
    OnInitDialog();
    BelongToMainWindow(this);
    return exec();
}

void CDialogBase::showEvent(QShowEvent* e) {
    if (!placed_) {
        placed_ = true;
        Place();
    }
    QDialog::showEvent(e);
}

// A dialog opens centred on the main window while that is shown, so it appears where
// the user looks; otherwise (the main window itself, or one hidden in the tray) centred
// on the screen. Either way it stays inside the screen's free area.
void CDialogBase::Place() {
    QWidget* main = MainWindow();
    const bool onMain = main && main != this && main->isVisible() && !main->isMinimized();
    QScreen* screen = onMain ? main->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const QPoint centre = onMain ? main->frameGeometry().center() : area.center();
    const QPoint at = centre - QPoint(width() / 2, height() / 2);
    move(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() + 1 - width())),
         std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() + 1 - height())));
}

CDialogBase* CDialogBase::FindOpen(int templateId) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<CDialogBase*>(w); d && d->isVisible() && d->Template().id == templateId) return d;
    return nullptr;
}

void RaiseWindow(QWidget* window) {
    if (window->isMinimized()) window->showNormal();
    else window->show();
    window->raise();
    window->activateWindow();
}
