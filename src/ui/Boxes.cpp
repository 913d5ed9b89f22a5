#include "ui/Boxes.h"

#include <utility>

namespace {

std::mutex g_answererMutex;
BoxAnswerer g_boxAnswerer;
DialogAnswerer g_dialogAnswerer;

template <class Answerer>
Answerer Current(const Answerer& answerer) {
  std::lock_guard lock(g_answererMutex);
  return answerer;
}

}  // namespace

void SetBoxAnswerer(BoxAnswerer answerer) {
  std::lock_guard lock(g_answererMutex);
  g_boxAnswerer = std::move(answerer);
}

void SetDialogAnswerer(DialogAnswerer answerer) {
  std::lock_guard lock(g_answererMutex);
  g_dialogAnswerer = std::move(answerer);
}

int BoxRecord::Show(const std::string& kind, const std::string& text, const std::string& caption,
                    int flags, const std::function<int()>& show) {
  const std::size_t index = Record({kind, text, caption, flags, 0, false});
  // A copy, so the answerer runs without the lock and may be replaced meanwhile.
  const BoxAnswerer answerer = Current(g_boxAnswerer);
  const int answer = answerer ? answerer(text, caption, flags) : show();
  Answered(index, answer);
  return answer;
}

std::string BoxRecord::ShowDialog(const std::string& filter, const std::string& defaultExt,
                                  const std::function<std::string()>& show) {
  const std::size_t index = Record({"dialog", filter, defaultExt, 0, 0, false});
  const DialogAnswerer answerer = Current(g_dialogAnswerer);
  std::string path = answerer ? answerer(filter, defaultExt) : show();
  Answered(index, path.empty() ? 0 : 1);
  return path;
}

std::vector<ShownBox> BoxRecord::Shown() const {
  std::lock_guard lock(mutex_);
  return boxes_;
}

std::size_t BoxRecord::Record(ShownBox box) {
  std::lock_guard lock(mutex_);
  boxes_.push_back(std::move(box));
  return boxes_.size() - 1;
}

void BoxRecord::Answered(std::size_t index, int answer) {
  std::lock_guard lock(mutex_);
  boxes_[index].answer = answer;
  boxes_[index].closed = true;
}
