#pragma once

// Brings up the services a launch relies on. No failure stops it: each
// service that cannot start leaves the rest of the run to do what it can.
void Initialize();
