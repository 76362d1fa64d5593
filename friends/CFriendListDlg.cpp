#include "friends/CFriendListDlg.h"

#include <QListWidget>
#include <QLocale>

#include "friends/FriendFile.h"
#include "platform/IpAddressWidget.h"
#include "platform/MessageBoxUi.h"
#include "platform/TextUtil.h"
#include "res/Resource.h"

namespace {
constexpr const char* kSaveFailed = "친구 목록을 저장하지 못했습니다. 폴더에 쓸 수 있는지 확인해 주세요.";
constexpr const char* kLeftOut = "친구 목록(%1)이 %2개를 넘어 처음 %2개만 읽었습니다.";
}  // namespace

std::vector<std::string> ReadFriendsToShow(const std::string& path, QWidget* owner) {
    static bool told = false;
    bool leftOut = false;
    std::vector<std::string> entries = ReadFriendFile(path, &leftOut);
    if (leftOut && !told) {
        told = true;
        const QString count = QLocale(QLocale::Korean).toString(qulonglong{MAX_FRIENDS});
        const QString text = QString::fromUtf8(kLeftOut).arg(QString::fromUtf8(FRIEND_FILE_NAME), count);
        ShowMessageBox(owner, text, QString::fromUtf8(APPLICATION_TITLE), MB_OK | MB_ICONEXCLAMATION);
    }
    return entries;
}

CFriendListDlg::CFriendListDlg() : CDialogBase(IDD_FRIEND_LIST, nullptr) {
    // Once anything has been selected Delete stays enabled; with no selection it
    // deletes nothing.
    connect(List(), &QListWidget::itemSelectionChanged, this, [this] { GetDlgItem(IDC_DELETE_FRIEND)->setEnabled(true); });
}

QListWidget* CFriendListDlg::List() const { return Item<QListWidget>(IDC_FRIENDS); }

std::string CFriendListDlg::FilePath() const { return JoinPath(workDir_, FRIEND_FILE_NAME); }

std::vector<std::string> CFriendListDlg::Entries() const {
    std::vector<std::string> entries;
    for (int i = 0; i < List()->count(); ++i) entries.push_back(List()->item(i)->text().toStdString());
    return entries;
}

bool CFriendListDlg::OnInitDialog() {
    GetDlgItem(IDC_DELETE_FRIEND)->setEnabled(false);
    // Blank fields read as "0.0.0.0" and take typing at once.
    Item<IpAddressWidget>(IDC_IP_ADDRESS)->clear();
    EnableWithAddress(IDC_ADD_FRIEND);
    for (const std::string& entry : ReadFriendsToShow(FilePath(), this))
        List()->insertItem(0, QString::fromStdString(entry));
    return true;
}

void CFriendListDlg::OnCommand(int id) {
    if (id == IDC_ADD_FRIEND) OnAdd();
    else if (id == IDC_DELETE_FRIEND) OnDelete();
    else CDialogBase::OnCommand(id);
}

void CFriendListDlg::OnAdd() {
    const QString address = AddressText();
    // An entry that merely begins with the text counts as present, so 10.0.0.1 is not
    // added beside 10.0.0.15.
    bool found = false;
    for (int i = 0; i < List()->count() && !found; ++i)
        found = List()->item(i)->text().startsWith(address, Qt::CaseInsensitive);
    if (!found) {
        List()->insertItem(0, address);
        modified_ = true;
    }
    auto* ip = Item<IpAddressWidget>(IDC_IP_ADDRESS);
    ip->clear();
    GetDlgItem(IDC_ADD_FRIEND)->setEnabled(false);
    ip->setFocus();
}

void CFriendListDlg::OnDelete() {
    const QList<QListWidgetItem*> selected = List()->selectedItems();
    if (!selected.isEmpty()) {
        delete List()->takeItem(List()->row(selected.front()));
        // As after a list box deletion, nothing is selected, so a second press cannot
        // take a neighbour the user never chose.
        List()->clearSelection();
        List()->setCurrentRow(-1);
    }
    modified_ = true;
}

void CFriendListDlg::OnOK() {
    // A failed save keeps the old file; the dialog stays open with the list as typed,
    // so the user can try again or cancel.
    if (!WriteFriendFile(FilePath(), Entries())) {
        ShowMessageBox(this, QString::fromUtf8(kSaveFailed), windowTitle(), MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    EndDialog(IDOK);
}
