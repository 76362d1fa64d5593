#pragma once

// The application object: starts the sockets layer, runs the main window until the
// exit command destroys it, then cleans up. InitInstance returns false in every case:
// all work happens inside the main window's run.
class CMonitorApp {
public:
    bool InitInstance();
};
