#include "app/lanes.h"

#include <string>

#include "base/lang.h"
#include "base/log.h"

Lanes::Lanes(MainQueue* m, std::function<void(Job)> background, std::function<void(Job)> slow)
    : main(m), backgroundLane(std::move(background)), slowLane(std::move(slow)) {}

void Lanes::bind(std::weak_ptr<void> o, std::function<void(Follow)> a) {
  owner = std::move(o);
  apply = std::move(a);
}

void Lanes::background(Job job) {
  if (backgroundLane)
    backgroundLane(std::move(job));
  else
    Pool::shared().async(std::move(job));
}

void Lanes::slow(Job job) {
  if (slowLane) {
    slowLane(std::move(job));
  } else if (backgroundLane) {
    backgroundLane(std::move(job));
  } else {
    // Leaked on purpose, like the shared pool: a typing job may outlive static teardown.
    static Pool* typing = new Pool("velmo.typing", 4);
    typing->async(std::move(job));
  }
}

void Lanes::onMain(Job job) {
  main->post([owner = owner, job = std::move(job)] {
    if (auto alive = owner.lock()) job();
  });
}

void Lanes::failed(const std::exception& e) {
  Log::note(Lang::pick("background work failed — ", "עבודת הרקע נכשלה — ") + std::string(e.what()));
}
