#pragma once

// Brings up the services a launch relies on. No failure stops it: each
// service that cannot start leaves the rest of the run to do what it can.
void Initialize();

// Handed to the crash agent: has the installed launcher start the assistant,
// which reports the crash of this launcher.
void OnLauncherCrash();
