// The viewer's start: options, the QApplication, the application object.
//
//   tallyscope                    run
//   tallyscope --help             usage, then exit 0
//   tallyscope --version          "Tallyscope 3.0.0.1", then exit 0
//   tallyscope --connect          run Open at start-up
//   tallyscope --studio NAME      answer the studio dialog with NAME
//   tallyscope --screenshot FILE  save the main window as a PNG before ending
//   tallyscope --quit-after SECS  end after SECS seconds
#pragma once

int TallyscopeMain(int argc, char** argv);
