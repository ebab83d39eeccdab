#pragma once
// What the application installs at start-up so that other subsystems reach it without
// depending on it: discovery pokes the state file, the control socket shows its approval
// sheet; the control socket follows the claim on the terminals.

#include <memory>

#include "app/app_delegate.h"

/// Installs the hooks (held weakly on the application), ties the control socket to the
/// claim and starts the application's one-shot jobs.
/// `hosts` are the ones the application was made with; their dialogs and main queue must
/// live as long as the process.
void installHooks(const std::shared_ptr<AppDelegate>& app, const AppDelegate::Hosts& hosts);

/// The approval sheet's tag among the window's alerts.
inline constexpr const char* kApprovalTag = "velmo.approval";
