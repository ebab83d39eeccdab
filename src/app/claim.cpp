#include "app/claim.h"

#include "base/files.h"
#include "base/paths.h"

Claim::Claim(std::string p) : path(std::move(p)) {}

std::string Claim::defaultPath() {
  return Files::join(Paths::stateDir(), "owner.lock");
}

Claim::Taken Claim::take() {
  std::lock_guard<std::mutex> guard(lock);
  if (file) return {true, false};
  auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) Files::makeDirectories(path.substr(0, slash), 0700);
  file = FileLock::tryTake(path);
  holding = file.has_value();
  return {holding.load(), holding.load()};
}
