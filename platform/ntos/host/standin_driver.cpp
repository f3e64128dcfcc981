// Stand-in for the driver while core/driver/zelvirdk has none: a DriverEntry that only installs
// its unload routine, so the service host can be built and run on its own.
#include <ntifs.h>

namespace {

VOID StandinUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    DbgPrint("[standin] Unload()\n");
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    DbgPrint("[standin] DriverEntry()\n");
    DriverObject->DriverUnload = StandinUnload;
    return STATUS_SUCCESS;
}
