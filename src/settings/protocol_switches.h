#pragma once

// The two switches, beside the installer's path switch (installer_names.h),
// by which the stub tells its setup program where the archive is: the setup
// program reads them from its command line, and the stub refuses them on its
// own. Without their dashes; wide string literals, so that the launch joins
// them to the text around them at compile time.
#define ARCHIVE_NAME_SWITCH L"archive-resource-name"
#define ARCHIVE_TYPE_SWITCH L"archive-resource-type"
