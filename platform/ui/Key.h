#pragma once
// The editing keys the window passes to its first responder; typed text
// arrives apart, whole characters in UTF-8 (Window::sendText).
namespace platform::ui {

enum class Key { Backspace, Delete, Left, Right, Up, Down, Home, End, Return };

}  // namespace platform::ui
