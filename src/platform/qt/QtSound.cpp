#include "platform/qt/QtSound.h"

#include <QApplication>
#include <QFileInfo>
#include <QSoundEffect>
#include <QThread>
#include <QUrl>
#include <mutex>

#include "platform/Sound.h"

namespace {
std::mutex g_mutex;
QtSoundPlayer* g_player = nullptr;  // guarded by g_mutex
QtSoundPlayer::Observer g_observer;  // guarded by g_mutex

void PlayThroughWindow(const std::string& path) {
  std::unique_lock lock(g_mutex);
  QtSoundPlayer* player = g_player;
  if (player == nullptr) {
    lock.unlock();
    QApplication::beep();
    return;
  }
  if (QThread::currentThread() == player->thread()) {
    // The player is destroyed only on this thread, so it outlives the call.
    lock.unlock();
    player->Play(path);
    return;
  }
  // Queued on the player itself: Qt drops the call if the player goes first.
  QMetaObject::invokeMethod(player, [player, path] { player->Play(path); }, Qt::QueuedConnection);
}
}  // namespace

QtSoundPlayer::QtSoundPlayer(QObject* parent) : QObject(parent) {
  {
    std::lock_guard lock(g_mutex);
    g_player = this;
  }
  platform::SetSoundPlayer(PlayThroughWindow);
}

QtSoundPlayer::~QtSoundPlayer() {
  std::lock_guard lock(g_mutex);
  if (g_player == this) {
    g_player = nullptr;
    platform::SetSoundPlayer({});
  }
}

void QtSoundPlayer::SetObserverForTest(Observer observer) {
  std::lock_guard lock(g_mutex);
  g_observer = std::move(observer);
}

void QtSoundPlayer::Report(const std::string& path, const std::string& outcome) {
  Observer observer;
  {
    std::lock_guard lock(g_mutex);
    observer = g_observer;
  }
  if (observer) observer(path, outcome);
}

void QtSoundPlayer::Beep(const std::string& path, const char* reason) {
  QApplication::beep();
  Report(path, std::string("beep:") + reason);
}

void QtSoundPlayer::Play(const std::string& path) {
  if (current_ != nullptr) {
    current_->stop();
    current_->deleteLater();
    current_ = nullptr;
  }
  const QFileInfo file(QString::fromStdString(path));
  if (!file.isFile() || !file.isReadable()) {
    Beep(path, "missing");
    return;
  }
  auto* effect = new QSoundEffect(this);
  current_ = effect;
  connect(effect, &QSoundEffect::statusChanged, this, [this, effect, path] {
    // A sound already replaced by a newer one stays silent.
    if (effect != current_ || effect->status() != QSoundEffect::Error) return;
    current_ = nullptr;
    effect->deleteLater();
    Beep(path, "error");
  });
  effect->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
  effect->play();
  if (current_ == effect) Report(path, "play");
}
