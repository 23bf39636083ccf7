#pragma once

// The window's class name and the ids of its controls, menu items and
// dialogs: fixed, as tests and tools find the controls by them.
#define ORVENT_WINDOW_CLASS L"OrventDriverWindow"

#define IDC_PAGE_STATE 1001
#define IDC_PAGE_SETUP 1002
#define IDC_RECEIVER_PICTURE 1010
#define IDC_SERVER_PICTURE 1011
#define IDC_STARTED_AT 1020
#define IDC_CLOSE_CODE 1021
#define IDC_WAITING 1022
#define IDC_OLDEST_WAITING 1023
#define IDC_LAST_ACKNOWLEDGED 1024
#define IDC_LAST_CONFIRMED 1025
#define IDC_UNACKNOWLEDGED 1026
#define IDC_STATUS_LIST 1030
#define IDC_HEALTH 1050
#define IDC_LAST_WARNING 1051
#define IDC_PORT_LIST 1040
#define IDC_START_STOP 1041
#define IDC_RESCAN 1042
#define IDM_RESTORE 1101
#define IDM_CLOSE 1102

#define IDD_CLOSE_CODE 1200
#define IDC_CODE_PROMPT 1201
#define IDC_CODE_EDIT 1202

#define IDD_NOTICE 1300
#define IDC_NOTICE_ICON 1301
#define IDC_NOTICE_TEXT 1302

#define IDI_DRIVER 1
