#pragma once
#include <QString>
#include <string>
#include <vector>

#include "log/HistoryExport.h"
#include "platform/DialogUi.h"

// Asks where the history goes and which days: a file named .csv, .jsonl or .json, a
// first and a last day (to begin with, the folder's oldest and newest log), and whether
// a CSV file begins with a byte-order mark.
class CExportLogDlg : public CDialogBase {
    Q_OBJECT
public:
    explicit CExportLogDlg(std::string folder, QWidget* parent = nullptr);
    // What to export, once the dialog has ended with IDOK.
    const ExportRequest& Request() const { return request_; }

protected:
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCommand(int id) override;

private:
    void Browse();
    void ShowFormat();
    ExportRequest request_;
};

// The one box that tells how an export went: the records written, or why nothing was,
// and the first of the lines left out.
inline constexpr size_t MAX_PROBLEMS_SHOWN = 20;
QString ExportReportText(const ExportRequest& request, const ExportResult& result,
                         const std::vector<ExportProblem>& firstProblems);
