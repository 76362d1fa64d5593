#include "log/AccessLogViewerUi.h"

#include <QDialog>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPointer>
#include <QVBoxLayout>

#include "platform/FileUtil.h"

namespace {
// Today's log of a busy machine stays well under this; the start of a larger one is
// what a reader looks for first.
constexpr size_t kMaxShownBytes = 16u << 20;
}  // namespace

void ShowAccessLogViewer(QWidget* owner, const std::string& path) {
    static QPointer<QDialog> viewer;
    if (!viewer) {
        viewer = new QDialog(owner, Qt::Window);
        viewer->setObjectName(QStringLiteral("accessLogViewer"));
        viewer->setAttribute(Qt::WA_DeleteOnClose);
        auto* text = new QPlainTextEdit(viewer);
        text->setReadOnly(true);
        text->setLineWrapMode(QPlainTextEdit::NoWrap);
        text->setPlaceholderText(QStringLiteral("오늘의 접속 기록이 아직 없습니다."));
        auto* layout = new QVBoxLayout(viewer);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(text);
        viewer->resize(640, 420);
    }
    std::string content;
    ReadRegularFile(path, kMaxShownBytes, content);
    viewer->setWindowTitle(QFileInfo(QString::fromStdString(path)).fileName());
    viewer->findChild<QPlainTextEdit*>()->setPlainText(QString::fromUtf8(content.data(), static_cast<int>(content.size())));
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
}
