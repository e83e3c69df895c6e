#include "measurement/reporters/app_active.h"

#include "measurement/reporters/screen_view_reporter.h"

bool APMIsAppActive() { return APMScreenViewReporter::sharedInstance()->isAppActive(); }
