#include "measurement/engine/user_property_names.h"

const APMUserPropertyNameTable& APMReservedUserPropertyNames() {
  static const APMUserPropertyNameTable names = {
      {"vudaziru_last_notification", "_ln"},
      {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},
      {"va_session_id", "_sid"},
      {"va_session_number", "_sno"},
      {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},
      {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},
      {"user_id", "_id"},
  };
  return names;
}
