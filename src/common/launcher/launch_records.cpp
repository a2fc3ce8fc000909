#include "launcher/launch_records.h"

#include "ipc/json_fields.h"

using json_fields::Booleans;
using json_fields::ReadOptional;
using json_fields::ReadRequired;
using json_fields::WriteOptional;
using nlohmann::json;

json ParseRecordText(std::string_view text) { return json_fields::ParseBounded(text); }

void to_json(json& j, const OpenFileInfo& info) {
  j = json::object();
  j["file_path"] = info.file_path;
  j["mime_type"] = info.mime_type;
}

void from_json(const json& j, OpenFileInfo& info) {
  ReadRequired(j, "file_path", info.file_path);
  ReadRequired(j, "mime_type", info.mime_type);
}

void to_json(json& j, const OwnerWindowInfo& info) {
  j = json::object();
  j["owner_win_handle"] = info.owner_win_handle;
  j["owner_dpi"] = info.owner_dpi;
  j["owner_x"] = info.owner_x;
  j["owner_y"] = info.owner_y;
  j["owner_cx"] = info.owner_cx;
  j["owner_cy"] = info.owner_cy;
}

void from_json(const json& j, OwnerWindowInfo& info) {
  ReadRequired(j, "owner_win_handle", info.owner_win_handle);
  ReadRequired(j, "owner_dpi", info.owner_dpi);
  ReadRequired(j, "owner_x", info.owner_x);
  ReadRequired(j, "owner_y", info.owner_y);
  ReadRequired(j, "owner_cx", info.owner_cx);
  ReadRequired(j, "owner_cy", info.owner_cy);
}

void to_json(json& j, const AppLaunchInfo& info) {
  j = json::object();
  j["pkg_name"] = info.pkg_name;
  WriteOptional(j, "rotation", info.rotation);
  WriteOptional(j, "source", info.source);
  WriteOptional(j, "deep_link", info.deep_link);
  WriteOptional(j, "from_source", info.from_source);
  WriteOptional(j, "app_category", info.app_category);
  WriteOptional(j, "orientation", info.orientation);
  WriteOptional(j, "display_id", info.display_id);
  WriteOptional(j, "extra_data", info.extra_data);
  WriteOptional(j, "hash_code", info.hash_code);
  WriteOptional(j, "app_name", info.app_name);
  WriteOptional(j, "from_pkg_name", info.from_pkg_name);
  WriteOptional(j, "notification_id", info.notification_id);
  WriteOptional(j, "show_keymap_sidebar", info.show_keymap_sidebar);
  WriteOptional(j, "keymap_sidebar_url", info.keymap_sidebar_url);
  WriteOptional(j, "is_redirect_url", info.is_redirect_url);
  WriteOptional(j, "open_file", info.open_file);
  WriteOptional(j, "mbrix_desktop_link_onclose", info.mbrix_desktop_link_onclose);
  WriteOptional(j, "qb_param", info.qb_param);
  WriteOptional(j, "app_pullup_type", info.app_pullup_type);
  WriteOptional(j, "oem_product", info.oem_product);
  WriteOptional(j, "specific_behavior", info.specific_behavior);
  WriteOptional(j, "launch_tv_series", info.launch_tv_series);
  WriteOptional(j, "app_inner_shortcut", info.app_inner_shortcut);
  WriteOptional(j, "report_info", info.report_info);
  WriteOptional(j, "action_type", info.action_type);
  WriteOptional(j, "update_type", info.update_type);
  WriteOptional(j, "window_config", info.window_config);
}

void from_json(const json& j, AppLaunchInfo& info) {
  ReadRequired(j, "pkg_name", info.pkg_name);
  ReadOptional(j, "rotation", info.rotation);
  ReadOptional(j, "source", info.source, Booleans::kRefused);
  ReadOptional(j, "deep_link", info.deep_link);
  ReadOptional(j, "from_source", info.from_source);
  ReadOptional(j, "app_category", info.app_category);
  ReadOptional(j, "orientation", info.orientation, Booleans::kRefused);
  ReadOptional(j, "display_id", info.display_id);
  ReadOptional(j, "extra_data", info.extra_data);
  ReadOptional(j, "hash_code", info.hash_code);
  ReadOptional(j, "app_name", info.app_name);
  ReadOptional(j, "from_pkg_name", info.from_pkg_name);
  ReadOptional(j, "notification_id", info.notification_id);
  ReadOptional(j, "show_keymap_sidebar", info.show_keymap_sidebar);
  ReadOptional(j, "keymap_sidebar_url", info.keymap_sidebar_url);
  ReadOptional(j, "is_redirect_url", info.is_redirect_url);
  ReadOptional(j, "open_file", info.open_file);
  ReadOptional(j, "mbrix_desktop_link_onclose", info.mbrix_desktop_link_onclose);
  ReadOptional(j, "qb_param", info.qb_param);
  ReadOptional(j, "app_pullup_type", info.app_pullup_type, Booleans::kRefused);
  ReadOptional(j, "oem_product", info.oem_product);
  ReadOptional(j, "specific_behavior", info.specific_behavior);
  ReadOptional(j, "launch_tv_series", info.launch_tv_series);
  ReadOptional(j, "app_inner_shortcut", info.app_inner_shortcut);
  ReadOptional(j, "report_info", info.report_info);
  ReadOptional(j, "action_type", info.action_type);
  ReadOptional(j, "update_type", info.update_type);
  ReadOptional(j, "window_config", info.window_config);
}

void to_json(json& j, const StepCounter& counter) {
  j = json::object();
  j["step"] = counter.step;
  j["time"] = counter.time;
}

void from_json(const json& j, StepCounter& counter) {
  ReadRequired(j, "step", counter.step);
  ReadRequired(j, "time", counter.time);
}

void to_json(json& j, const LinkInfo& info) {
  j = json::object();
  j["session_id"] = info.session_id;
  j["install_from"] = info.install_from;
  j["pkg_name"] = info.pkg_name;
  WriteOptional(j, "step_counter", info.step_counter);
}

void from_json(const json& j, LinkInfo& info) {
  ReadRequired(j, "session_id", info.session_id);
  ReadRequired(j, "install_from", info.install_from);
  ReadRequired(j, "pkg_name", info.pkg_name);
  ReadOptional(j, "step_counter", info.step_counter);
}

void to_json(json& j, const InstallAppInfo& info) {
  j = json::object();
  j["pkg_name"] = info.pkg_name;
  WriteOptional(j, "version_code", info.version_code);
  WriteOptional(j, "version_name", info.version_name);
  j["icon"] = info.icon;
  j["name"] = info.name;
  WriteOptional(j, "md5", info.md5);
  j["engine_name"] = info.engine_name;
  j["file_path"] = info.file_path;
  WriteOptional(j, "json_data", info.json_data);
  WriteOptional(j, "state", info.state);
  WriteOptional(j, "from_source", info.from_source);
  WriteOptional(j, "oem", info.oem);
  WriteOptional(j, "shield_shortcut", info.shield_shortcut);
  WriteOptional(j, "link_info", info.link_info);
  WriteOptional(j, "action_type", info.action_type);
  WriteOptional(j, "update_type", info.update_type);
}

void from_json(const json& j, InstallAppInfo& info) {
  ReadRequired(j, "pkg_name", info.pkg_name);
  ReadOptional(j, "version_code", info.version_code);
  ReadOptional(j, "version_name", info.version_name);
  ReadRequired(j, "icon", info.icon);
  ReadRequired(j, "name", info.name);
  ReadOptional(j, "md5", info.md5);
  ReadRequired(j, "engine_name", info.engine_name);
  ReadRequired(j, "file_path", info.file_path);
  ReadOptional(j, "json_data", info.json_data);
  ReadOptional(j, "state", info.state, Booleans::kRefused);
  ReadOptional(j, "from_source", info.from_source);
  ReadOptional(j, "oem", info.oem);
  ReadOptional(j, "shield_shortcut", info.shield_shortcut);
  ReadOptional(j, "link_info", info.link_info);
  ReadOptional(j, "action_type", info.action_type);
  ReadOptional(j, "update_type", info.update_type);
}

void to_json(json& j, const StartVMInfo& info) { j = json{{"oem_name", info.oem_name}}; }
void from_json(const json& j, StartVMInfo& info) { ReadRequired(j, "oem_name", info.oem_name); }
void to_json(json& j, const StopVMInfo& info) { j = json{{"oem_name", info.oem_name}}; }
void from_json(const json& j, StopVMInfo& info) { ReadRequired(j, "oem_name", info.oem_name); }

void to_json(json& j, const LinkContent& content) { j = json{{"content", content.content}}; }

void to_json(json& j, const StoreActivateInfo& info) {
  j = json::object();
  j["cmd_show"] = info.cmd_show;
  WriteOptional(j, "source", info.source);
}
