// The install-state key, shared with the installer: under HKEY_CURRENT_USER,
// the installer stores "State" as 4 bytes, 0 for success or its failure code.
#ifndef LV_JOB_INSTALL_STATE_H
#define LV_JOB_INSTALL_STATE_H

#define INSTALL_STATE_KEY "Software\\Tessaframe\\LvInstall"
#define INSTALL_STATE_VALUE "State"

#endif
