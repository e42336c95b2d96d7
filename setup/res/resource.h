// Identifiers of the executable's own resources, shared by the code and setup.rc.
#pragma once

#define IDI_SETUP                 101
#define IDD_DOWNLOAD_BUILD        103

#define IDS_SETUP_TITLE           502
#define IDS_PRODUCT_CODE          507
#define IDS_EDITION_CODE          511
#define IDS_SIZE_UNIT             512
#define IDS_ENGINE_RESTART        1101
#define IDS_HELP                  1102
#define IDS_SEARCHING             1103
#define IDS_NEW_BUILD_QUESTION    1104
#define IDS_DOWNLOAD              1105
#define IDS_SKIP                  1106
#define IDS_CONNECTING            1107
#define IDS_DESCRIPTION_SEARCH    1108
#define IDS_DESCRIPTION_DOWNLOAD  1109
#define IDS_REQUEST_COMPLETED     1110
#define IDS_PACKAGE_NOT_VERIFIED  1111
#define IDS_MSI_PACKAGE           2002
#define IDS_MIRROR_URLS           2010
#define IDS_COMPANION_FILES       2011
#define IDS_PUBLISHER_PINS        2012
#define IDS_UPGRADE_CODE          2013
#define IDS_LOWEST_VERSION        2014
#define IDS_INFO_VALIDITY         2015

#define IDC_PROGRESS              1000
#define IDC_STATUS                1001
#define IDC_DESCRIPTION           1002
