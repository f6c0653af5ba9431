// Resource ids of the dialog and its controls.
#ifndef LV_RES_RESOURCE_H
#define LV_RES_RESOURCE_H

#define IDD_DOWNLOAD 103
#define IDB_LOGO 132

#define IDC_DOWNLOAD_TEXT 130
#define IDC_PROMO_TEXT 133
#define IDC_PROGRESS 1000
#define IDC_MESSAGE 1003     // lies over the texts; only the installing and error views show it

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#endif
