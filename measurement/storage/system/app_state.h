// Probes of how the app was launched, read by first-open reporting.
// Stateless; any thread. (`APMIsAppActive`, which asks the screen tracker,
// lives with the reporters in measurement/reporters/app_active.h.)
#pragma once

// The process environment variable "ActivePrewarm" read with the platform's
// text-to-boolean rule; NO when it is absent.
bool APMIsPrewarmLaunch();

// YES when the main bundle's Info dictionary has the key
// "UIApplicationSceneManifest".
bool APMHasSceneManifest();
