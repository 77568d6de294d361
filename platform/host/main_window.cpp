#include "main_window.h"

namespace host {

// Redrawn only when a line changes: the window is polled ten times a second.
void MainWindow::setStatus(const std::string& line1, const std::string& line2) {
    if (line1 == line1_ && line2 == line2_) return;
    line1_ = line1;
    line2_ = line2;
    draw();
}

}  // namespace host
