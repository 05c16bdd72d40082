// The fixed names of the request driver: flag files, edition markers, the
// built-in aliases and the two lines of its own on standard error. The administrator's tool
// reads them from here too, so that it never disagrees with the server.
#pragma once

#include "common/facts.h"

constexpr const char debug_flag_file[] = "/etc/vornex/proxy.debug";
constexpr const char disable_duid_flag_file[] = "/etc/vornex/proxy.disable.duid";
constexpr const char edition_tavo_marker[] = "/etc/sorvantine-edition-tavo";
constexpr const char edition_quellan_marker[] = "/etc/sorvantine-quellan";

constexpr const char enter_alias[] = "VORNEX_ENTER";
constexpr const char crontab_check_alias[] = "CRONTAB_CHECK";
constexpr const char crontab_list_alias[] = "CRONTAB_LIST";
constexpr const char crontab_save_alias[] = "CRONTAB_SAVE";

constexpr const char error_message[] = "Error occurred during execution of this program";
constexpr const char unauthorized_message[] = "You are not authorized to run this command";
