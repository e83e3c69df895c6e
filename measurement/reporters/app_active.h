// `APMIsAppActive`: whether the app is active now, as the shared screen
// tracker saw the latest life-cycle transition. Read by session handling
// and the exposure reporters; any thread.
#pragma once

bool APMIsAppActive();
