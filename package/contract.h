// The contract between the library and the package that carries it: table, column,
// property, action and message names, each in one place. Columns are numbered from 1 in
// the order the table defines them; every query reads whole rows.
#pragma once

namespace table {
constexpr const char* AutoCAD = "AutoCAD";
constexpr const char* FunctionVersion = "FunctionVersion";
constexpr const char* SearchCabinet = "SearchCabinet";
constexpr const char* SuportPacks = "SuportPacks";
constexpr const char* Condition = "Condition";
constexpr const char* RadioButton = "RadioButton";
constexpr const char* Control = "Control";
constexpr const char* Property = "Property";
constexpr const char* Feature = "Feature";
// Read by the package checker only.
constexpr const char* Dialog = "Dialog";
constexpr const char* ControlEvent = "ControlEvent";
constexpr const char* Error = "Error";
constexpr const char* CustomAction = "CustomAction";
constexpr const char* InstallUISequence = "InstallUISequence";
constexpr const char* InstallExecuteSequence = "InstallExecuteSequence";
constexpr const char* AdminUISequence = "AdminUISequence";
constexpr const char* AdminExecuteSequence = "AdminExecuteSequence";
constexpr const char* Upgrade = "Upgrade";
constexpr const char* AppSearch = "AppSearch";
constexpr const char* RegLocator = "RegLocator";
constexpr const char* Media = "Media";
}  // namespace table

// One supported host release a row.
namespace autocad {
enum Column { Property = 1, Unused, Release };
}

// One selectable product function a row.
namespace functionversion {
enum Column { Function = 1, Text, Value };
}

// One cabinet rule a row.
namespace searchcabinet {
enum Column { PropertyName = 1, Function, Cabinet, Feature, Flags };
constexpr const char* PropertyNameColumn = "PropertyName";
constexpr const char* FunctionColumn = "Function";
constexpr const char* FlagsColumn = "Flags";
}  // namespace searchcabinet

// One support program or package a row.
namespace suportpacks {
enum Column { Source = 1, CommandLine };
}

namespace condition {
enum Column { Feature = 1, Level, Expression };
constexpr const char* FeatureColumn = "Feature_";
constexpr const char* LevelColumn = "Level";
constexpr const char* ExpressionColumn = "Condition";
}  // namespace condition

namespace feature {
enum Column { Feature = 1, Parent, Title, Description, Display, Level, Directory, Attributes };
constexpr const char* FeatureColumn = "Feature";
}  // namespace feature

namespace upgrade {
// FindRelatedProducts puts the product codes it finds into the property this column names.
constexpr const char* ActionPropertyColumn = "ActionProperty";
}  // namespace upgrade

// One disk or cabinet of the package's files.
namespace media {
constexpr const char* CabinetColumn = "Cabinet";
}

// A property the installer sets from a search of the machine.
namespace appsearch {
enum Column { Property = 1, Signature };
constexpr const char* PropertyColumn = "Property";
}

// Where a search looks in the registry.
namespace reglocator {
enum Column { Signature = 1, Root, Key, Name, Type };
constexpr const char* SignatureColumn = "Signature_";
constexpr int RawValue = 2;    // the type's low bits: the value itself
constexpr int View64 = 16;     // the type's flag: the 64-bit registry view
}

namespace radiobutton {
enum Column { Property = 1, Order, Value, X, Y, Width, Height, Text, Help };
}

namespace control {
enum Column { Dialog = 1, Control, Type, X, Y, Width, Height, Attributes, Property, Text, ControlNext, Help };
constexpr const char* DialogColumn = "Dialog_";
constexpr const char* ControlColumn = "Control";
}  // namespace control

namespace dialog {
constexpr const char* DialogColumn = "Dialog";
constexpr const char* FirstControlColumn = "Control_First";
}

namespace property {
enum Column { Property = 1, Value };
constexpr const char* PropertyColumn = "Property";
}  // namespace property

namespace prop {
constexpr const char* FunctionVer = "FUNCTION_VER";
constexpr const char* FunctionRb = "FUNCTION_RB";
constexpr const char* ProductCode = "ProductCode";
constexpr const char* PackageCode = "PackageCode";
// Set by the installer's costing (to 0 on Windows until disk costing ends): none before it.
constexpr const char* CostingComplete = "CostingComplete";
constexpr const char* ProductVersion = "ProductVersion";
constexpr const char* InstallLevel = "INSTALLLEVEL";
// "1" once the installer takes the features from the feature-list properties below
// instead of the Condition table.
constexpr const char* Preselected = "Preselected";
// The feature-list properties, in the order the installer applies them.
constexpr const char* AddLocal = "ADDLOCAL";
constexpr const char* Remove = "REMOVE";
constexpr const char* AddSource = "ADDSOURCE";
constexpr const char* AddDefault = "ADDDEFAULT";
constexpr const char* Reinstall = "REINSTALL";
constexpr const char* Advertise = "ADVERTISE";
// The road an installation is on.
constexpr const char* Installed = "Installed";                      // set once the product is installed
constexpr const char* UpgradingProductCode = "UPGRADINGPRODUCTCODE";  // set while an upgrade removes this product
// The library's own private properties: what one action leaves for the next in the same
// session (private, so they never reach another session or the command line).
constexpr const char* LibraryRows = "HostgateOwnRows";  // the Condition rows the library added
constexpr const char* ListsGiven = "HostgateListsGiven";  // feature lists as given, before any was withheld from
constexpr const char* Snapshot = "HostgateSnapshot";  // what PrevInstall detected, for AfterSelectFunction
constexpr const char* Run = "HostgateRun";            // this installation's nonce, which the snapshot names
// Public, so that it reaches the execute side on Windows (listed in SecureCustomProperties):
// the properties the library set itself (release properties, FUNCTION_VER) with their
// values. Such a release value is looked up again, never taken as given; such a function is
// the library's choice, not one named for the installation.
constexpr const char* LibrarySet = "HOSTGATE_SET";
constexpr const char* HiddenProperties = "MsiHiddenProperties";
// The support programs hostgate-setup.exe runs before the package, with the rights it was
// started with (SuportPacks sources, separated by ';'): in the package's Property table.
constexpr const char* SetupPrograms = "HOSTGATE_SETUP_PROGRAMS";
// Public, set by hostgate-setup.exe on the package's command line: the sources it ran, which
// RunSuportPacks then does not run again.
constexpr const char* ProgramsRun = "HOSTGATE_PROGRAMS_RUN";
constexpr const char* UiLevel = "UILevel";                  // 5: the full user interface, dialogs shown
constexpr const char* IsAdminPackage = "IsAdminPackage";    // set when running from an administrative image
}  // namespace prop

namespace action {
constexpr const char* FileCost = "FileCost";
constexpr const char* CostFinalize = "CostFinalize";
// The library's own, as a package declares and schedules them.
constexpr const char* PrevInstall = "PrevInstall";
constexpr const char* AfterSelectFunction = "AfterSelectFunction";
constexpr const char* RunSuportPacks = "RunSuportPacks";
constexpr const char* CopyInfFiles = "CopyInfFiles";
constexpr const char* RollbackInfFiles = "RollbackInfFiles";
}  // namespace action

// The choice control on the package's dialog.
namespace choice {
constexpr const char* Dialog = "ZizeVEZAvaziva";
constexpr const char* ControlName = "RadioButtonGroup";
constexpr const char* GroupType = "RadioButtonGroup";
constexpr const char* TextType = "Text";
constexpr const char* NextControl = "CancelButton";
constexpr const char* Help = "|";
}  // namespace choice

// Error-table messages posted to the user.
namespace message {
constexpr int HostMissing = 3000;    // no host release installed, or none fits the choice
constexpr int RulesNotMet = 3001;    // general rules not met, or no function available
}  // namespace message
