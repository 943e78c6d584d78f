// SPDX-License-Identifier: MIT
#pragma once

// How the window's own widgets present themselves to assistive technology: the window as a window, the
// footer links as links, the busy indicator as a busy progress bar, the failed run's line as a notification,
// which a screen reader speaks as it appears. Install before any widget exists: an interface made earlier
// (as while a screen reader already listens) keeps the toolkit's generic role for the widget's life.
namespace Accessibility {

void install();

} // namespace Accessibility
