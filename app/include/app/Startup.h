// The viewer's start: options, the QApplication, the application object.
// The options are read before the QApplication, so --help and --version
// work without a display; a bad command line exits with status 2.
//
//   tallyscope                    run
//   tallyscope --help, -h         usage, then exit 0
//   tallyscope --version          "tallyscope 3.0.0.1" and a copyright line, then exit 0
//   tallyscope --connect          run Open at start-up
//   tallyscope --studio NAME      answer the studio dialog with NAME
//   tallyscope --screenshot FILE  save the main window as a PNG before ending
//   tallyscope --quit-after SECS  end after SECS seconds
//   tallyscope --wall [--screen N] full screen, no toolbar, windows tiled
#pragma once

int TallyscopeMain(int argc, char** argv);
