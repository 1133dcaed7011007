#pragma once
// The self-driving mode, for trying the utility where nobody sits at the screen (a server, CI):
// with VEXILORA_DEMO=1 in the environment the window updates the device it finds by itself.
// It takes the steps a user takes (types the password, when VEXILORA_DEMO_PASSWORD gives
// one, presses the update button, closes the success box), prints each step and the versions
// on standard output, saves pictures of the window at each stage into
// VEXILORA_DEMO_SCREENSHOTS (a folder, when set) and ends the program with 0 only once the
// device reports the image's version; anything else (an error box, a transfer given up, no
// device within VEXILORA_DEMO_TIMEOUT seconds, default 300) ends it with 1.

#include <QObject>
#include <memory>

namespace appqt {

class TMainWindow;

// The self-driving mode on window when VEXILORA_DEMO=1; nullptr otherwise. It must live as
// long as the window's event loop runs.
std::unique_ptr<QObject> StartDemoIfAsked(TMainWindow& window);

}  // namespace appqt
