#pragma once

#include <windows.h>

#include <vector>

// The process-wide application module: the instance handle, the main
// thread's id and a table of message loops. The launcher registers no loop;
// the module exists so that extensions find the process set up as a
// product's own programs set it up.
class AppModule {
public:
    void Init(HINSTANCE instance);
    void Term();

    HINSTANCE Instance() const { return instance_; }
    DWORD MainThreadId() const { return mainThreadId_; }

private:
    HINSTANCE instance_ = nullptr;
    DWORD mainThreadId_ = 0;
    std::vector<void*> messageLoops_;
};

AppModule& TheAppModule();
