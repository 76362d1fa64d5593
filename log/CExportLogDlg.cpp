#include "log/CExportLogDlg.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <cstring>

#include "platform/MessageBoxUi.h"
#include "platform/TextUtil.h"

namespace {

std::string LocalPath(const QString& path) { return QFile::encodeName(path).toStdString(); }
QString ShownPath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

const char* ProblemWords(LineProblem problem) {
    switch (problem) {
        case LineProblem::None: return "";
        case LineProblem::Foreign: return "접속 기록의 줄이 아닙니다";
        case LineProblem::NoSuchTime: return "없는 날짜나 시각입니다";
        case LineProblem::BadAddress: return "IP 주소가 아닙니다";
        case LineProblem::TooLong: return "줄이 너무 깁니다";
        case LineProblem::Unreadable: return "읽을 수 없습니다";
    }
    return "";
}

// A day field: empty for no bound.
bool ReadDay(const QString& text, int noBound, int& date) {
    if (text.trimmed().isEmpty()) {
        date = noBound;
        return true;
    }
    return ParseLogDate(text.trimmed().toStdString(), date);
}

}  // namespace

CExportLogDlg::CExportLogDlg(std::string folder, QWidget* parent) : CDialogBase(IDD_EXPORT_LOG, parent) {
    request_.folder = std::move(folder);
}

bool CExportLogDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    std::vector<LogFile> logs;
    int error = 0;
    if (FindLogFiles(request_.folder, FIRST_LOG_DATE, LAST_LOG_DATE, logs, error) && !logs.empty()) {
        SetDlgItemText(IDC_EXPORT_FROM, QString::number(logs.front().date));
        SetDlgItemText(IDC_EXPORT_TO, QString::number(logs.back().date));
    }
    SetDlgItemText(IDC_EXPORT_FILE, QDir::home().filePath(QStringLiteral("tolvara-history.csv")));
    for (int id : {IDC_EXPORT_FROM, IDC_EXPORT_TO}) Item<QLineEdit>(id)->setMaxLength(8);
    connect(Item<QLineEdit>(IDC_EXPORT_FILE), &QLineEdit::textChanged, this, [this] { ShowFormat(); });
    ShowFormat();
    return true;
}

// The mark is for CSV alone: JSON text never begins with one.
void CExportLogDlg::ShowFormat() {
    ExportFormat format;
    const bool known = ExportFormatForName(LocalPath(GetDlgItemText(IDC_EXPORT_FILE)), format);
    GetDlgItem(IDC_EXPORT_BOM)->setEnabled(!known || format == ExportFormat::Csv);
}

void CExportLogDlg::OnCommand(int id) {
    if (id == IDC_EXPORT_BROWSE) Browse();
    else CDialogBase::OnCommand(id);
}

void CExportLogDlg::Browse() {
    QFileDialog files(this, QString::fromUtf8("접속 기록 내보내기"));
    files.setAcceptMode(QFileDialog::AcceptSave);
    const QString csv = QStringLiteral("CSV (*.csv)"), jsonl = QStringLiteral("JSON Lines (*.jsonl *.json)");
    files.setNameFilters({csv, jsonl});
    files.selectFile(GetDlgItemText(IDC_EXPORT_FILE));
    ExportFormat format = ExportFormat::Csv;
    ExportFormatForName(LocalPath(GetDlgItemText(IDC_EXPORT_FILE)), format);
    files.selectNameFilter(format == ExportFormat::Csv ? csv : jsonl);
    files.setDefaultSuffix(format == ExportFormat::Csv ? QStringLiteral("csv") : QStringLiteral("jsonl"));
    connect(&files, &QFileDialog::filterSelected, &files, [&files, csv](const QString& filter) {
        files.setDefaultSuffix(filter == csv ? QStringLiteral("csv") : QStringLiteral("jsonl"));
    });
    if (files.exec() == QDialog::Accepted && !files.selectedFiles().isEmpty())
        SetDlgItemText(IDC_EXPORT_FILE, files.selectedFiles().first());
}

void CExportLogDlg::OnOK() {
    ExportRequest r = request_;
    r.output = LocalPath(GetDlgItemText(IDC_EXPORT_FILE).trimmed());
    const QString title = QString::fromUtf8("접속 기록 내보내기");
    if (r.output.empty() || !ExportFormatForName(r.output, r.format)) {
        ShowMessageBox(this, QString::fromUtf8("파일 이름은 .csv, .jsonl 또는 .json으로 끝나야 합니다."), title, MB_OK);
        return;
    }
    if (!ReadDay(GetDlgItemText(IDC_EXPORT_FROM), FIRST_LOG_DATE, r.fromDate) ||
        !ReadDay(GetDlgItemText(IDC_EXPORT_TO), LAST_LOG_DATE, r.toDate)) {
        ShowMessageBox(this, QString::fromUtf8("날짜는 20240131처럼 YYYYMMDD로 적습니다."), title, MB_OK);
        return;
    }
    if (r.fromDate > r.toDate) {
        ShowMessageBox(this, QString::fromUtf8("기간의 첫날이 마지막 날보다 늦습니다."), title, MB_OK);
        return;
    }
    r.byteOrderMark = r.format == ExportFormat::Csv && IsDlgButtonChecked(IDC_EXPORT_BOM);
    request_ = std::move(r);
    EndDialog(IDOK);
}

QString ExportReportText(const ExportRequest& request, const ExportResult& result,
                         const std::vector<ExportProblem>& firstProblems) {
    const QString output = ShownPath(request.output);
    const QString why = QString::fromLocal8Bit(std::strerror(result.errorNumber));
    switch (result.error) {
        case ExportError::None: break;
        case ExportError::CannotReadFolder:
            return QString::fromUtf8("접속 기록 폴더를 읽을 수 없습니다: %1 (%2)").arg(ShownPath(request.folder), why);
        case ExportError::CannotWrite:
            return QString::fromUtf8("파일을 쓸 수 없습니다: %1 (%2)").arg(output, why);
        case ExportError::OutputIsLog:
            return QString::fromUtf8("접속 기록 파일과 같은 이름으로는 내보낼 수 없습니다: %1").arg(output);
    }
    QString text = QString::fromUtf8("접속 기록 %1줄을 내보냈습니다: %2").arg(result.records).arg(output);
    if (result.files == 0) text += QString::fromUtf8("\n그 기간의 접속 기록 파일이 없습니다.");
    if (result.problems > 0) {
        text += QString::fromUtf8("\n\n읽지 못해 빠진 줄 %1개:").arg(result.problems);
        for (const ExportProblem& p : firstProblems) {
            text += QLatin1Char('\n') + ShownPath(p.file);
            if (p.line > 0) text += QLatin1Char(':') + QString::number(p.line);
            text += QStringLiteral(": ") + QString::fromUtf8(ProblemWords(p.what));
        }
        if (result.problems > static_cast<int>(firstProblems.size()))
            text += QString::fromUtf8("\n… 외 %1개").arg(result.problems - static_cast<int>(firstProblems.size()));
    }
    return text;
}
