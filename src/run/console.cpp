#include "run/console.h"

namespace {
Console* g_installed = nullptr;
}

Console& TheConsole() { return g_installed != nullptr ? *g_installed : PlatformConsole(); }

void SetConsole(Console* console) { g_installed = console; }
