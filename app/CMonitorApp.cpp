#include "app/CMonitorApp.h"

#include "app/CMonitorDlg.h"
#include "platform/MessageBoxUi.h"
#include "platform/Sockets.h"

bool CMonitorApp::InitInstance() {
    if (WSAStartup(SOCKETS_VERSION) != 0) {
        AfxMessageBox(QStringLiteral("WSAStartup failed"));
        return false;
    }
    {
        CMonitorDlg dlg;
        dlg.DoModal();
    }
    WSACleanup();
    return false;
}
