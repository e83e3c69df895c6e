// The field lists of the 42 measurement messages, one table per message.
//
// A row is FIELD(name, tag, label, type, submessage): the field's name (an
// `unused_tagN` name for fields the system neither sets nor reads, which
// stay in the schema so that they decode and re-encode unchanged), its wire
// tag, Singular or Repeated, its value type, and for message fields the
// nested message (None otherwise). Rows are in field-ID order: the field ID
// is the row's position, which differs from the tag wherever tags have gaps
// and, in MeasurementBundle, for IDs 6 (tag 26) and 20 (tag 27).
//
// These tables are expanded twice: into the field-ID constants below and
// into the schema objects of message_schemas.cpp. Nothing else may restate
// them.
#pragma once

// clang-format off

#include <cstdint>

#define APM_FIELDS_MeasurementBatch(FIELD)                       \
  FIELD(bundles, 1, Repeated, Message, MeasurementBundle)        \
  FIELD(unused_tag7, 7, Singular, String, None)                  \
  FIELD(unused_tag8, 8, Singular, String, None)                  \
  FIELD(unused_tag9, 9, Singular, Enum, None)

#define APM_FIELDS_MeasurementBundle(FIELD)                                          \
  FIELD(protocol_version, 1, Singular, Int32, None)                                  \
  FIELD(events, 2, Repeated, Message, Event)                                         \
  FIELD(user_attributes, 3, Repeated, Message, UserAttribute)                        \
  FIELD(upload_timestamp_millis, 4, Singular, Int64, None)                           \
  FIELD(start_timestamp_millis, 5, Singular, Int64, None)                            \
  FIELD(end_timestamp_millis, 6, Singular, Int64, None)                              \
  FIELD(previous_bundle_start_timestamp_millis, 26, Singular, Int64, None)           \
  FIELD(previous_bundle_end_timestamp_millis, 7, Singular, Int64, None)              \
  FIELD(platform, 8, Singular, String, None)                                         \
  FIELD(os_version, 9, Singular, String, None)                                       \
  FIELD(device_model, 10, Singular, String, None)                                    \
  FIELD(user_default_language, 11, Singular, String, None)                           \
  FIELD(timezone_offset_minutes, 12, Singular, Int32, None)                          \
  FIELD(app_store, 13, Singular, String, None)                                       \
  FIELD(app_id, 14, Singular, String, None)                                          \
  FIELD(unused_tag15, 15, Singular, Int64, None)                                     \
  FIELD(app_version, 16, Singular, String, None)                                     \
  FIELD(vuv_version, 17, Singular, Int64, None)                                      \
  FIELD(uploading_vuv_version, 18, Singular, Int64, None)                            \
  FIELD(advertising_id, 19, Singular, String, None)                                  \
  FIELD(vendor_id, 27, Singular, String, None)                                       \
  FIELD(limited_ad_tracking, 20, Singular, Bool, None)                               \
  FIELD(app_instance_id, 21, Singular, String, None)                                 \
  FIELD(unused_tag22, 22, Singular, Int64, None)                                     \
  FIELD(bundle_index, 23, Singular, Int32, None)                                     \
  FIELD(monitoring_data, 24, Singular, String, None)                                 \
  FIELD(vuv_app_id, 25, Singular, String, None)                                      \
  FIELD(unused_tag28, 28, Singular, Bool, None)                                      \
  FIELD(audience_evaluation_results, 29, Repeated, Message, AudienceLeafFilterResult) \
  FIELD(installation_id, 30, Singular, String, None)                                 \
  FIELD(app_version_major, 31, Singular, Int32, None)                                \
  FIELD(app_version_minor, 32, Singular, Int32, None)                                \
  FIELD(app_version_release, 33, Singular, Int32, None)                              \
  FIELD(unused_tag34, 34, Singular, String, None)                                    \
  FIELD(config_version, 35, Singular, Int64, None)                                   \
  FIELD(retry_count, 39, Singular, Int32, None)                                      \
  FIELD(deder_app_id, 41, Singular, String, None)                                    \
  FIELD(experiment_ids, 45, Repeated, UInt32, None)                                  \
  FIELD(checksum, 47, Singular, Int64, None)                                         \
  FIELD(unused_tag50, 50, Singular, String, None)                                    \
  FIELD(consent_signals, 52, Singular, String, None)                                 \
  FIELD(tracking_authorization_status, 53, Singular, Enum, None)                     \
  FIELD(unused_tag55, 55, Singular, Bool, None)                                      \
  FIELD(session_stitching_token, 63, Singular, String, None)                         \
  FIELD(redacted_fields, 64, Repeated, String, None)                                 \
  FIELD(ephemeral_app_instance_id, 65, Singular, String, None)                       \
  FIELD(unused_tag67, 67, Singular, Int64, None)                                     \
  FIELD(consent_diagnostics, 71, Singular, String, None)                             \
  FIELD(is_dma_region, 72, Singular, Bool, None)                                     \
  FIELD(core_platform_services, 73, Singular, String, None)                          \
  FIELD(unused_tag75, 75, Singular, String, None)                                    \
  FIELD(unused_tag77, 77, Singular, Int32, None)                                     \
  FIELD(ad_campaign_info, 79, Singular, Message, AdCampaignInfo)

#define APM_FIELDS_Event(FIELD)                                \
  FIELD(params, 1, Repeated, Message, EventParam)              \
  FIELD(name, 2, Singular, String, None)                       \
  FIELD(timestamp_millis, 3, Singular, Int64, None)            \
  FIELD(previous_timestamp_millis, 4, Singular, Int64, None)   \
  FIELD(unused_tag5, 5, Singular, Int32, None)

#define APM_FIELDS_EventParam(FIELD)                    \
  FIELD(name, 1, Singular, String, None)                \
  FIELD(string_value, 2, Singular, String, None)        \
  FIELD(int_value, 3, Singular, Int64, None)            \
  FIELD(float_value, 4, Singular, Float, None)          \
  FIELD(double_value, 5, Singular, Double, None)        \
  FIELD(param_value, 6, Repeated, Message, EventParam)

#define APM_FIELDS_UserAttribute(FIELD)                     \
  FIELD(set_timestamp_millis, 1, Singular, Int64, None)     \
  FIELD(name, 2, Singular, String, None)                    \
  FIELD(string_value, 3, Singular, String, None)            \
  FIELD(int_value, 4, Singular, Int64, None)                \
  FIELD(float_value, 5, Singular, Float, None)              \
  FIELD(double_value, 6, Singular, Double, None)

#define APM_FIELDS_AdCampaignInfo(FIELD)                \
  FIELD(gclid, 1, Singular, String, None)               \
  FIELD(gbraid, 2, Singular, String, None)              \
  FIELD(gad_source, 3, Singular, String, None)          \
  FIELD(timestamp_millis, 4, Singular, Int64, None)     \
  FIELD(unused_tag5, 5, Singular, String, None)         \
  FIELD(unused_tag6, 6, Singular, String, None)         \
  FIELD(unused_tag7, 7, Singular, String, None)         \
  FIELD(unused_tag8, 8, Singular, Int64, None)

#define APM_FIELDS_MeasurementConfig(FIELD)                       \
  FIELD(version, 1, Singular, Int64, None)                        \
  FIELD(vuv_app_id, 2, Singular, String, None)                    \
  FIELD(unused_tag3, 3, Singular, Int32, None)                    \
  FIELD(settings, 4, Repeated, Message, Setting)                  \
  FIELD(event_config, 5, Repeated, Message, EventConfig)          \
  FIELD(audiences, 6, Repeated, Message, Audience)                \
  FIELD(deder_app_id, 7, Singular, String, None)                  \
  FIELD(unused_tag8, 8, Singular, Bool, None)                     \
  FIELD(dynamic_event_editing, 9, Repeated, Message, Program)     \
  FIELD(data_controls, 10, Repeated, Message, DataControl)        \
  FIELD(upload_subdomain, 11, Singular, String, None)             \
  FIELD(unused_tag14, 14, Singular, String, None)                 \
  FIELD(consent_config, 15, Singular, Message, ConsentConfig)     \
  FIELD(psm_setting, 16, Singular, Message, PsmSetting)           \
  FIELD(sstm_setting, 17, Singular, Message, SstmSetting)         \
  FIELD(region, 18, Singular, Message, Region)

#define APM_FIELDS_Setting(FIELD)            \
  FIELD(name, 1, Singular, String, None)     \
  FIELD(value, 2, Singular, String, None)

#define APM_FIELDS_EventConfig(FIELD)                     \
  FIELD(name, 1, Singular, String, None)                  \
  FIELD(is_blocklisted, 2, Singular, Bool, None)          \
  FIELD(is_custom_conversion, 3, Singular, Bool, None)    \
  FIELD(sampling_rate, 4, Singular, Int32, None)

#define APM_FIELDS_DataControl(FIELD)                       \
  FIELD(name, 1, Singular, String, None)                    \
  FIELD(opt_out_regions, 2, Repeated, Message, Region)      \
  FIELD(unused_tag3, 3, Singular, Bool, None)

#define APM_FIELDS_Region(FIELD)                   \
  FIELD(unused_tag1, 1, Singular, String, None)    \
  FIELD(unused_tag2, 2, Singular, String, None)

#define APM_FIELDS_ConsentConfig(FIELD)                                         \
  FIELD(defaults, 1, Repeated, Message, ConsentDefaultEntry)                    \
  FIELD(delegations, 2, Repeated, Message, ConsentDelegationEntry)              \
  FIELD(core_platform_services, 3, Repeated, Message, CorePlatformServiceEntry) \
  FIELD(is_dma_region, 4, Singular, Bool, None)                                 \
  FIELD(enforced_defaults, 5, Repeated, Message, ConsentDefaultEntry)

#define APM_FIELDS_ConsentDefaultEntry(FIELD)         \
  FIELD(consent_type, 1, Singular, Enum, None)        \
  FIELD(default_status, 2, Singular, Enum, None)

#define APM_FIELDS_ConsentDelegationEntry(FIELD)          \
  FIELD(consent_type, 1, Singular, Enum, None)            \
  FIELD(delegate_consent_type, 2, Singular, Enum, None)

#define APM_FIELDS_CorePlatformServiceEntry(FIELD)   \
  FIELD(service, 1, Singular, String, None)          \
  FIELD(unused_tag2, 2, Singular, String, None)

#define APM_FIELDS_PsmSetting(FIELD)                     \
  FIELD(psm_prefix_email, 1, Singular, Int32, None)      \
  FIELD(psm_prefix_phone, 2, Singular, Int32, None)      \
  FIELD(psm_signin_delay, 3, Singular, Int32, None)

#define APM_FIELDS_SstmSetting(FIELD)              \
  FIELD(unused_tag1, 1, Singular, String, None)    \
  FIELD(unused_tag2, 2, Singular, String, None)    \
  FIELD(unused_tag3, 3, Singular, String, None)    \
  FIELD(unused_tag4, 4, Singular, Int32, None)

#define APM_FIELDS_Audience(FIELD)                                  \
  FIELD(audience_id, 1, Singular, Int32, None)                      \
  FIELD(property_filters, 2, Repeated, Message, PropertyFilter)     \
  FIELD(event_filters, 3, Repeated, Message, EventFilter)           \
  FIELD(unused_tag4, 4, Singular, Bool, None)                       \
  FIELD(unused_tag5, 5, Singular, Bool, None)

#define APM_FIELDS_EventFilter(FIELD)                                 \
  FIELD(filter_id, 1, Singular, Int32, None)                          \
  FIELD(event_name, 2, Singular, String, None)                        \
  FIELD(filters, 3, Repeated, Message, Filter)                        \
  FIELD(unused_tag4, 4, Singular, Bool, None)                         \
  FIELD(event_count_filter, 5, Singular, Message, NumberFilter)       \
  FIELD(dynamic, 6, Singular, Bool, None)                             \
  FIELD(sequence, 7, Singular, Bool, None)                            \
  FIELD(session_scoped, 8, Singular, Bool, None)

#define APM_FIELDS_PropertyFilter(FIELD)              \
  FIELD(filter_id, 1, Singular, Int32, None)          \
  FIELD(property_name, 2, Singular, String, None)     \
  FIELD(filter, 3, Singular, Message, Filter)         \
  FIELD(dynamic, 4, Singular, Bool, None)             \
  FIELD(sequence, 5, Singular, Bool, None)            \
  FIELD(session_scoped, 6, Singular, Bool, None)

#define APM_FIELDS_Filter(FIELD)                                 \
  FIELD(string_filter, 1, Singular, Message, StringFilter)       \
  FIELD(number_filter, 2, Singular, Message, NumberFilter)       \
  FIELD(complement, 3, Singular, Bool, None)                     \
  FIELD(param_name, 4, Singular, String, None)

#define APM_FIELDS_StringFilter(FIELD)                    \
  FIELD(match_type, 1, Singular, Enum, None)              \
  FIELD(expression, 2, Singular, String, None)            \
  FIELD(case_sensitive, 3, Singular, Bool, None)          \
  FIELD(expression_list, 4, Repeated, String, None)

#define APM_FIELDS_NumberFilter(FIELD)                        \
  FIELD(comparison_type, 1, Singular, Enum, None)             \
  FIELD(match_as_float, 2, Singular, Bool, None)              \
  FIELD(comparison_value, 3, Singular, String, None)          \
  FIELD(min_comparison_value, 4, Singular, String, None)      \
  FIELD(max_comparison_value, 5, Singular, String, None)

#define APM_FIELDS_ResultData(FIELD)                                                      \
  FIELD(status, 1, Repeated, UInt64, None)                                                \
  FIELD(results, 2, Repeated, UInt64, None)                                               \
  FIELD(dynamic_filter_timestamps, 3, Repeated, Message, DynamicFilterResultTimestamp)    \
  FIELD(sequence_filter_timestamps, 4, Repeated, Message, SequenceFilterResultTimestamp)

#define APM_FIELDS_AudienceLeafFilterResult(FIELD)             \
  FIELD(audience_id, 1, Singular, Int32, None)                 \
  FIELD(current_data, 2, Singular, Message, ResultData)        \
  FIELD(previous_data, 3, Singular, Message, ResultData)       \
  FIELD(new_audience, 4, Singular, Bool, None)

#define APM_FIELDS_DynamicFilterResultTimestamp(FIELD)   \
  FIELD(filter_id, 1, Singular, Int32, None)             \
  FIELD(timestamp, 2, Singular, Int64, None)

#define APM_FIELDS_SequenceFilterResultTimestamp(FIELD)  \
  FIELD(filter_id, 1, Singular, Int32, None)             \
  FIELD(eval_timestamps, 2, Repeated, Int64, None)

#define APM_FIELDS_ExperimentRequest(FIELD)                            \
  FIELD(app_property, 1, Singular, Message, AppProperty)               \
  FIELD(client_properties, 2, Repeated, Message, ClientProperty)

#define APM_FIELDS_AppProperty(FIELD)                      \
  FIELD(platform, 1, Singular, String, None)               \
  FIELD(unused_tag2, 2, Singular, String, None)            \
  FIELD(unused_tag3, 3, Singular, String, None)            \
  FIELD(language, 4, Singular, String, None)               \
  FIELD(app_id, 5, Singular, String, None)                 \
  FIELD(is_from_app_store, 6, Singular, Bool, None)        \
  FIELD(sdk_version, 7, Singular, Int64, None)

#define APM_FIELDS_ClientProperty(FIELD)                              \
  FIELD(name, 1, Singular, String, None)                              \
  FIELD(diversion_key, 2, Singular, String, None)                     \
  FIELD(version, 3, Singular, Int64, None)                            \
  FIELD(app_id, 4, Singular, String, None)                            \
  FIELD(custom_properties, 5, Repeated, Message, CustomProperty)

#define APM_FIELDS_CustomProperty(FIELD)     \
  FIELD(key, 1, Singular, String, None)      \
  FIELD(value, 2, Singular, String, None)

#define APM_FIELDS_ExperimentResponse(FIELD)                   \
  FIELD(snapshots, 1, Repeated, Message, Snapshot)             \
  FIELD(sdk_responses, 2, Repeated, Message, SdkResponse)

#define APM_FIELDS_Snapshot(FIELD)                         \
  FIELD(sdk_name, 1, Singular, String, None)               \
  FIELD(experiments, 2, Repeated, Message, Experiment)

#define APM_FIELDS_Experiment(FIELD)                 \
  FIELD(experiment_id, 1, Singular, Int32, None)     \
  FIELD(flags, 2, Repeated, Message, Flag)

#define APM_FIELDS_Flag(FIELD)                      \
  FIELD(name, 1, Singular, String, None)            \
  FIELD(int_value, 2, Singular, Int64, None)        \
  FIELD(string_value, 3, Singular, String, None)    \
  FIELD(double_value, 4, Singular, Double, None)    \
  FIELD(bool_value, 5, Singular, Bool, None)

#define APM_FIELDS_SdkResponse(FIELD)                   \
  FIELD(sdk_name, 1, Singular, String, None)            \
  FIELD(status, 2, Singular, Enum, None)                \
  FIELD(snapshot, 3, Singular, Message, Snapshot)

#define APM_FIELDS_SkAdNetworkConversionValueRequest(FIELD)                   \
  FIELD(vuv_version, 1, Singular, Int64, None)                                \
  FIELD(app_id, 2, Singular, String, None)                                    \
  FIELD(app_instance_id, 3, Singular, String, None)                           \
  FIELD(skan_version, 4, Singular, String, None)                              \
  FIELD(evaluation_event_time_millis, 5, Singular, Int64, None)               \
  FIELD(last_uploaded_event_timestamp_millis, 6, Singular, Int64, None)

#define APM_FIELDS_SkAdNetworkConversionValueResponse(FIELD)         \
  FIELD(status, 1, Singular, Enum, None)                             \
  FIELD(unused_tag2, 2, Singular, String, None)                      \
  FIELD(fine_value, 3, Singular, Int32, None)                        \
  FIELD(coarse_value, 4, Singular, Enum, None)                       \
  FIELD(lock_window, 5, Singular, Bool, None)                        \
  FIELD(expiry_timestamp_millis, 6, Singular, Int64, None)           \
  FIELD(evaluation_event_time_millis, 7, Singular, Int64, None)      \
  FIELD(update_backoff_millis, 8, Singular, Int64, None)

#define APM_FIELDS_Program(FIELD)                                   \
  FIELD(instructions, 1, Repeated, Message, RuntimeEntity)          \
  FIELD(ogt_activities, 2, Singular, Message, OgtActivities)

#define APM_FIELDS_RuntimeEntity(FIELD)                      \
  FIELD(type, 1, Singular, Enum, None)                       \
  FIELD(value, 2, Repeated, Message, RuntimeEntity)          \
  FIELD(name, 3, Singular, String, None)                     \
  FIELD(string_value, 4, Singular, String, None)             \
  FIELD(boolean_value, 5, Singular, Bool, None)              \
  FIELD(number_value, 6, Singular, Double, None)

#define APM_FIELDS_OgtActivities(FIELD)                      \
  FIELD(activities, 1, Repeated, Message, OgtActivity)

#define APM_FIELDS_OgtActivity(FIELD)                        \
  FIELD(name, 1, Singular, String, None)                     \
  FIELD(data, 2, Repeated, Message, RuntimeEntity)

// Every message: MESSAGE(name, field count, wrapper, decode, encode). The
// last three say whether the message has an `APMPB...` wrapper class and
// its own decode and encode entry points; "Region" is only ever decoded
// alone (as an element of DataControl.opt_out_regions) and "SstmSetting"
// only ever travels inside its parent.
#define APM_MESSAGE_LIST(MESSAGE)                                       \
  MESSAGE(AdCampaignInfo, 8, true, true, true)                          \
  MESSAGE(AppProperty, 7, true, true, true)                             \
  MESSAGE(Audience, 5, true, true, true)                                \
  MESSAGE(AudienceLeafFilterResult, 4, true, true, true)                \
  MESSAGE(ClientProperty, 5, true, true, true)                          \
  MESSAGE(ConsentConfig, 5, true, true, true)                           \
  MESSAGE(ConsentDefaultEntry, 2, true, true, true)                     \
  MESSAGE(ConsentDelegationEntry, 2, true, true, true)                  \
  MESSAGE(CorePlatformServiceEntry, 2, true, true, true)                \
  MESSAGE(CustomProperty, 2, true, true, true)                          \
  MESSAGE(DataControl, 3, true, true, true)                             \
  MESSAGE(DynamicFilterResultTimestamp, 2, true, true, true)            \
  MESSAGE(Event, 5, true, true, true)                                   \
  MESSAGE(EventConfig, 4, true, true, true)                             \
  MESSAGE(EventFilter, 8, true, true, true)                             \
  MESSAGE(EventParam, 6, true, true, true)                              \
  MESSAGE(Experiment, 2, true, true, true)                              \
  MESSAGE(ExperimentRequest, 2, true, true, true)                       \
  MESSAGE(ExperimentResponse, 2, true, true, true)                      \
  MESSAGE(Filter, 4, true, true, true)                                  \
  MESSAGE(Flag, 5, true, true, true)                                    \
  MESSAGE(MeasurementBatch, 4, true, true, true)                        \
  MESSAGE(MeasurementBundle, 53, true, true, true)                      \
  MESSAGE(MeasurementConfig, 16, true, true, true)                      \
  MESSAGE(NumberFilter, 5, true, true, true)                            \
  MESSAGE(OgtActivities, 1, true, true, true)                           \
  MESSAGE(OgtActivity, 2, true, true, true)                             \
  MESSAGE(Program, 2, true, true, true)                                 \
  MESSAGE(PropertyFilter, 6, true, true, true)                          \
  MESSAGE(PsmSetting, 3, true, true, true)                              \
  MESSAGE(Region, 2, false, true, false)                                \
  MESSAGE(ResultData, 4, true, true, true)                              \
  MESSAGE(RuntimeEntity, 6, true, true, true)                           \
  MESSAGE(SdkResponse, 3, true, true, true)                             \
  MESSAGE(SequenceFilterResultTimestamp, 2, true, true, true)           \
  MESSAGE(Setting, 2, true, true, true)                                 \
  MESSAGE(SstmSetting, 4, false, false, false)                          \
  MESSAGE(SkAdNetworkConversionValueRequest, 6, true, true, true)       \
  MESSAGE(SkAdNetworkConversionValueResponse, 8, true, true, true)      \
  MESSAGE(Snapshot, 2, true, true, true)                                \
  MESSAGE(StringFilter, 4, true, true, true)                            \
  MESSAGE(UserAttribute, 6, true, true, true)

// Field IDs by name: `MeasurementBundleField::events` is 1. These are the
// IDs the field-index accessors take.
#define APM_FIELD_ID_ENUMERATOR(name, tag, label, type, submessage) name,
#define APM_FIELD_ID_STRUCT(message, count, wrapper, decode, encode)            \
  struct message##Field {                                                        \
    enum : int32_t { APM_FIELDS_##message(APM_FIELD_ID_ENUMERATOR) kFieldCount }; \
  };                                                                             \
  static_assert(message##Field::kFieldCount == count, #message " field count");
APM_MESSAGE_LIST(APM_FIELD_ID_STRUCT)
#undef APM_FIELD_ID_STRUCT
#undef APM_FIELD_ID_ENUMERATOR
// clang-format on
