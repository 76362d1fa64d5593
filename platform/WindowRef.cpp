#include "platform/WindowRef.h"

WindowRef WindowRef::Create(Sink sink) {
    WindowRef ref;
    ref.state_ = std::make_shared<State>();
    ref.state_->sink = std::move(sink);
    return ref;
}

bool WindowRef::PostMessage(int message, intptr_t wParam, std::string payload) const {
    if (!state_) return false;
    std::lock_guard<std::mutex> guard(state_->lock);
    if (!state_->alive || !state_->sink) return false;
    state_->sink(PostedMessage{message, wParam, std::move(payload)});
    return true;
}

bool WindowRef::IsWindow() const {
    if (!state_) return false;
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->alive;
}

void WindowRef::Invalidate() const {
    if (!state_) return;
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->alive = false;
    state_->sink = nullptr;
}
