#include "app/app_module.h"

void AppModule::Init(HINSTANCE instance) {
    instance_ = instance;
    mainThreadId_ = GetCurrentThreadId();
    messageLoops_.clear();
}

void AppModule::Term() {
    messageLoops_.clear();
    messageLoops_.shrink_to_fit();
    instance_ = nullptr;
    mainThreadId_ = 0;
}

AppModule& TheAppModule() {
    static AppModule module;
    return module;
}
