// Raising runtime errors and warnings: the two message families every script-facing failure goes
// through.
//
// A message is built from pieces streamed in order (texts as they are, integers in decimal). An error's
// text is framed between two lines of '*' as long as its first line. A raise reaches the current task
// when the calling thread owns the VM lock and runs a task with a frame; otherwise (a worker thread, code
// outside any task) the text only goes to the log, at the error or warning level. On a task, an error is
// taken by a catch block or reported with the call stack (runtime_error.h), and a catchable one sets the
// top frame's status to 128 so the interpreter unwinds. Either way an error raise hands its caller a
// fresh None value to return.
//
// Every layer from the object base up raises through these declarations; the interpreter defines them
// (runtime/exec/raise.cpp), since only it knows the running task and its frames.
#pragma once
#include <sstream>
#include <string>

#include "runtime/base/krvvar_shared.h"

// "\n" + stars + "\n" + message + "\n" + stars + "\n\n", the stars as long as the message's first line.
std::string krv_frame_error_text(const std::string& message);

// Raises `message` as a runtime error (catchable unless told otherwise); returns a fresh None.
krvvar_shared krv_raise_error_text(const std::string& message, bool catchable = true);
// Raises `message` as a runtime warning.
void krv_raise_warning_text(const std::string& message);

template <class... Pieces>
std::string krv_message(const Pieces&... pieces) {
  std::ostringstream text;
  (text << ... << pieces);
  return text.str();
}

template <class... Pieces>
krvvar_shared krv_raise_error(const Pieces&... pieces) {
  return krv_raise_error_text(krv_message(pieces...));
}

// The form the kernel facility calls: `result` receives the fresh None that the failing function returns.
template <class... Pieces>
void krv_raise_error(krvvar_shared& result, bool catchable, const Pieces&... pieces) {
  result = krv_raise_error_text(krv_message(pieces...), catchable);
}

template <class... Pieces>
void krv_raise_warning(const Pieces&... pieces) {
  krv_raise_warning_text(krv_message(pieces...));
}
