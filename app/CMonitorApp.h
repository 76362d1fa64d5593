#pragma once

class QTranslator;

// Qt's own texts (message-box buttons, the edit fields' context menus) in Korean like the
// rest of the window, whatever the session's language; null where Qt's translation is
// not installed.
QTranslator* InstallQtTranslation();

// The application object: starts the sockets layer, runs the main window until the
// exit command destroys it, then cleans up. InitInstance returns false in every case:
// all work happens inside the main window's run.
class CMonitorApp {
public:
    bool InitInstance();
};
