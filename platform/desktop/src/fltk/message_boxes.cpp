// FLTK backend: message boxes, shown by the window thread or as plain Xlib boxes.
#include "fltk/fltk_backend.h"

namespace desktop::detail::fltk {

// ---- message boxes ----
// A box asked for from another thread is shown by the window thread without a loop of its
// own: the window thread's passes go on (timers, the Speak poll, the stop check) while the
// caller alone waits for the OK. A box of the window thread itself holds its loop.
void Fltk::messageBox(NativeWindow owner, const std::string& title, const std::string& text) {
    std::shared_ptr<BoxRequest> req;
    {
        std::unique_lock lock(m_);
        if (alive_ && std::this_thread::get_id() == thread_) {
            lock.unlock();
            runBox(owner, title, text);
            return;
        }
        if (ended_) return;  // forced end: a box now would only be closed again at once
        if (alive_) {
            req = std::make_shared<BoxRequest>(BoxRequest{owner, title, text, false});
            pendingBoxes_.push_back(req);
            ops_.push_back([this, req] { openBox(req); });
            wake();
            if (boxDone_.wait_for(lock, boxPickUp, [&] { return req->done || req->started; })) {
                boxDone_.wait(lock, [&] { return req->done; });
                return;
            }
            req->done = true;  // withdrawn: shown below instead
            std::erase(pendingBoxes_, req);
        }
    }
    x11::plainMessageBox(owner, title, text);
}

void Fltk::finish(const std::shared_ptr<BoxRequest>& req) {
    std::lock_guard lock(m_);
    req->done = true;
    std::erase(pendingBoxes_, req);
    boxDone_.notify_all();
}

// A window with the text and an OK button, centred on the screen, not yet shown.
std::unique_ptr<Fl_Double_Window> Fltk::buildBox(const std::string& title, const std::string& text, Fl_Callback* onOk, void* data) {
    std::string shown;
    for (char c : text)
        if (c != '\r') shown += c;
    shown = labelText(shown, false);
    fl_font(uiFont, FL_NORMAL_SIZE);
    int tw = 0, th = 0;
    fl_measure(shown.c_str(), tw, th, 0);
    if (tw > 560) {  // only long lines wrap
        tw = 560;
        fl_measure(shown.c_str(), tw, th, 0);
    }
    tw = std::max(tw + 6, 180);  // slack: measuring and drawing round differently
    int w = tw + 40, h = th + 70;
    auto screen = x11::screenSize();
    auto box = std::make_unique<Fl_Double_Window>((screen.width - w) / 2, (screen.height - h) / 2, w, h);
    box->copy_label(title.c_str());
    auto* message = new Fl_Box(20, 15, tw, th);
    message->copy_label(shown.c_str());
    message->labelfont(uiFont);
    message->labelsize(FL_NORMAL_SIZE);
    message->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_WRAP);
    auto* ok = new Fl_Return_Button((w - 80) / 2, h - 38, 80, 24, "OK");
    ok->labelfont(uiFont);
    ok->labelsize(FL_NORMAL_SIZE);
    ok->callback(onOk, data);
    box->end();
    box->callback(onOk, data);  // the window manager's close is an OK too
    return box;
}

void Fltk::showBox(Fl_Double_Window& box, NativeWindow owner) {
    box.show();
    if (owner) XSetTransientForHint(fl_display, fl_xid(&box), Window(owner));
    markOwnProcess(fl_xid(&box));
}

// The window thread's own box: its loop waits until the box is closed.
void Fltk::runBox(NativeWindow owner, const std::string& title, const std::string& text) {
    auto closed = [&] {
        std::lock_guard lock(m_);
        return ended_;
    };
    if (closed()) return;
    auto box = buildBox(title, text, [](Fl_Widget* w, void*) {
        (w->window() ? w->window() : static_cast<Fl_Window*>(w))->hide();
    }, nullptr);
    box->set_modal();
    showBox(*box, owner);
    while (box->shown() && !closed()) {
        Fl::wait(0.25);
        drain();
        closeFinishedBoxes();
    }
    box->hide();
}

// Window thread: a box of another thread, shown until its OK, the forced end or the
// window's end.
void Fltk::openBox(const std::shared_ptr<BoxRequest>& req) {
    {
        std::lock_guard taken(m_);
        if (req->done || ended_) return;
        req->started = true;
        boxDone_.notify_all();
    }
    auto entry = std::make_unique<OpenBox>();
    entry->req = req;
    entry->window = buildBox(req->title, req->text, [](Fl_Widget*, void* data) {
        auto* box = static_cast<OpenBox*>(data);
        self().finish(box->req);
        self().closeFinishedBoxes();
    }, entry.get());
    showBox(*entry->window, req->owner);
    openBoxes_.push_back(std::move(entry));
}

// Window thread: boxes answered, withdrawn or ended by force go. Deleted later, as a
// callback of the box itself may be running.
void Fltk::closeFinishedBoxes() {
    bool ended;
    {
        std::lock_guard lock(m_);
        ended = ended_;
    }
    for (auto it = openBoxes_.begin(); it != openBoxes_.end();) {
        bool done;
        {
            std::lock_guard lock(m_);
            done = (*it)->req->done;
        }
        if (!done && !ended) {
            ++it;
            continue;
        }
        if (!done) finish((*it)->req);
        (*it)->window->hide();
        Fl::delete_widget((*it)->window.release());
        it = openBoxes_.erase(it);
    }
}

}  // namespace desktop::detail::fltk
