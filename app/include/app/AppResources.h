// The viewer's resources (strings, icons, menus, accelerators, toolbar,
// dialog templates), registered with the framework once at start-up.
#pragma once

// Registers every resource; safe to call more than once. GUI thread.
void RegisterTallyscopeResources();

// The version shown by the About box and --version: the project() version
// of the build.
extern const char* const kTallyscopeVersion;
