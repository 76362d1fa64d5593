#pragma once
#include <string>
#include <vector>

#include "platform/DialogUi.h"

class QListWidget;

// The friend file's entries for a list that shows them. The first time in a run that the
// file holds more than MAX_FRIENDS, a box owned by `owner` says that the rest were left
// out; later reads say nothing.
std::vector<std::string> ReadFriendsToShow(const std::string& path, QWidget* owner);

// Dialog 146: the user adds and deletes friends' addresses; OK writes the friend file.
// The list box shows the file's lines in reverse order, and new addresses go on top.
class CFriendListDlg : public CDialogBase {
    Q_OBJECT
public:
    CFriendListDlg();

    // The main window's working directory, where the friend file lies; before DoModal.
    void SetWorkingDirectory(const std::string& directory) { workDir_ = directory; }
    // After the run: whether an add inserted an entry or Delete was pressed. Only an OK
    // run with this set needs the main window to reload its list.
    bool IsModified() const { return modified_; }

    // The list box's entries, top to bottom.
    std::vector<std::string> Entries() const;

protected:
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCommand(int id) override;

private:
    QListWidget* List() const;
    std::string FilePath() const;
    void OnAdd();
    void OnDelete();

    std::string workDir_;
    bool modified_ = false;
};
