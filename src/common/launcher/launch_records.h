#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Launch requests as the product's processes exchange them: in option values
// of the launcher's command line and as the data of IPC packets. Keys, number
// types and the set of keys written are shared with other processes. Reading
// raises the JSON library's exceptions: a missing required key, a wrong type,
// or null where a value is expected. Unknown keys are ignored. std::optional
// fields are written only when present.

struct OpenFileInfo {
  std::string file_path;
  std::string mime_type;
};

// The window that owns a launch, and where it stands.
struct OwnerWindowInfo {
  std::uint64_t owner_win_handle = 0;
  float owner_dpi = 0;
  std::int32_t owner_x = 0;
  std::int32_t owner_y = 0;
  std::int32_t owner_cx = 0;
  std::int32_t owner_cy = 0;
};

struct AppLaunchInfo {
  std::string pkg_name;
  std::optional<std::uint32_t> rotation = 0u;  // present in a fresh record
  std::optional<std::int32_t> source;
  std::optional<std::string> deep_link;
  std::optional<std::string> from_source;
  std::optional<std::uint32_t> app_category;
  std::optional<std::int32_t> orientation;
  std::optional<std::uint32_t> display_id;
  std::optional<nlohmann::json> extra_data;
  std::optional<std::uint32_t> hash_code;
  std::optional<std::string> app_name;
  std::optional<std::string> from_pkg_name;
  std::optional<std::string> notification_id;
  std::optional<bool> show_keymap_sidebar;
  std::optional<std::string> keymap_sidebar_url;
  std::optional<bool> is_redirect_url;
  std::optional<OpenFileInfo> open_file;
  std::optional<bool> mbrix_desktop_link_onclose;
  std::optional<OwnerWindowInfo> qb_param;
  std::optional<std::int32_t> app_pullup_type;
  std::optional<std::string> oem_product;
  std::optional<std::string> specific_behavior;
  std::optional<std::string> launch_tv_series;
  std::optional<std::string> app_inner_shortcut;
  std::optional<std::string> report_info;  // JSON text made elsewhere, passed on as is
  std::optional<std::string> action_type;
  std::optional<std::string> update_type;
  std::optional<std::string> window_config;  // JSON text made elsewhere, passed on as is
};

struct StepCounter {
  std::int32_t step = 0;
  std::uint64_t time = 0;
};

// Where an install came from, for reporting.
struct LinkInfo {
  std::string session_id;
  std::string install_from;
  std::string pkg_name;
  std::optional<StepCounter> step_counter;
};

struct InstallAppInfo {
  std::string pkg_name;
  std::optional<std::string> version_code;  // text, not a number
  std::optional<std::string> version_name;
  std::string icon;
  std::string name;
  std::optional<std::string> md5;
  std::string engine_name;
  std::string file_path;
  std::optional<std::string> json_data;
  std::optional<std::int32_t> state = 0;  // present in a fresh record
  std::optional<std::string> from_source;
  std::optional<std::string> oem;
  std::optional<std::int32_t> shield_shortcut;
  std::optional<LinkInfo> link_info;
  std::optional<std::string> action_type;
  std::optional<std::string> update_type;
};

// A partner's request to start or stop the VM.
struct StartVMInfo {
  std::string oem_name;
};
struct StopVMInfo {
  std::string oem_name;
};

// A kestova:// link for the store client.
struct LinkContent {
  std::string content;
};

// Brings the store client forward.
struct StoreActivateInfo {
  std::int32_t cmd_show = 0;
  std::optional<std::int32_t> source;
};

// Option text (UTF-8) as a JSON value. Raises the library's parse error for
// text that is not JSON or that nests deeper than any real record.
nlohmann::json ParseRecordText(std::string_view text);

void to_json(nlohmann::json& json, const OpenFileInfo& info);
void from_json(const nlohmann::json& json, OpenFileInfo& info);
void to_json(nlohmann::json& json, const OwnerWindowInfo& info);
void from_json(const nlohmann::json& json, OwnerWindowInfo& info);
void to_json(nlohmann::json& json, const AppLaunchInfo& info);
void from_json(const nlohmann::json& json, AppLaunchInfo& info);
void to_json(nlohmann::json& json, const StepCounter& counter);
void from_json(const nlohmann::json& json, StepCounter& counter);
void to_json(nlohmann::json& json, const LinkInfo& info);
void from_json(const nlohmann::json& json, LinkInfo& info);
void to_json(nlohmann::json& json, const InstallAppInfo& info);
void from_json(const nlohmann::json& json, InstallAppInfo& info);
void to_json(nlohmann::json& json, const StartVMInfo& info);
void from_json(const nlohmann::json& json, StartVMInfo& info);
void to_json(nlohmann::json& json, const StopVMInfo& info);
void from_json(const nlohmann::json& json, StopVMInfo& info);
void to_json(nlohmann::json& json, const LinkContent& content);
void to_json(nlohmann::json& json, const StoreActivateInfo& info);
