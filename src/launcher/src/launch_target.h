#pragma once

// Carries out what the launcher's command line asks for: opens a kestova://
// link, forwards the request to a running product process, or starts the
// named product executable from the current version folder. argv[0] is the
// launcher's own path; argv may be null when argc is 0.
void LaunchTarget(int argc, const wchar_t* const* argv);
