// The viewer's start: options, the QApplication, the application object.
//
//   tallyscope                    run
//   tallyscope --help             usage, then exit 0
//   tallyscope --version          "Tallyscope 3.0.0.1", then exit 0
//   tallyscope --screenshot FILE  start, save the main window as a PNG, exit
#pragma once

int TallyscopeMain(int argc, char** argv);
