// Identifiers of the program's resources, shared by the resource script and
// the code. Plain #defines: the resource compiler reads this file too.
#pragma once

#define IDD_CONTROL_DLG 129
#define IDR_TRAY_MENU 143

#define IDS_GROUP_RUNTIME 105
#define IDS_GROUP_MAIL 106
#define IDS_GROUP_OTHER 107
#define IDS_TRAY_TIP 110

#define IDI_TRAY_STARTED 130
#define IDI_GROUP_RUNTIME 133
#define IDI_SERVICE_DISABLED 134
#define IDI_SERVICE_STARTED 135
#define IDI_SERVICE_STOPPED 136
#define IDI_GROUP_MAIL 139
#define IDI_GROUP_OTHER 140
#define IDI_TRAY_DISABLED 141
#define IDI_TRAY_STOPPED 142

#define IDC_SELECT_ALL 1001
#define IDC_CLEAR_ALL 1002
#define IDC_HIDE 1006
#define IDC_SERVICE_TREE 1007
#define IDC_RESTART 1008
#define IDC_STOP 1009
#define IDC_START 1010
#define IDC_REFRESH 1011
#define IDC_STATUS 1014
#define IDC_DELETE_SESSIONS 1015
#define IDC_START_WEBSITE 1016
#define IDC_STOP_WEBSITE 1017

#define ID_TRAY_CONTROL_PANEL 32775
#define ID_TRAY_START 32776
#define ID_TRAY_STOP 32777
#define ID_TRAY_RESTART 32778
#define ID_TRAY_EXIT 32780
