// Asks GIO whether a desktop shows the mount at PATH to the user running this program.
// Exit status: 0 shown, 1 not shown, 2 no mount at PATH (or bad arguments).
#include <gio/gunixmounts.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: gio_should_display PATH\n");
        return 2;
    }
    int result = 2;
    GList* mounts = g_unix_mounts_get(nullptr);
    for (GList* m = mounts; m; m = m->next) {
        auto* entry = static_cast<GUnixMountEntry*>(m->data);
        if (std::strcmp(g_unix_mount_get_mount_path(entry), argv[1]) == 0)
            result = g_unix_mount_guess_should_display(entry) ? 0 : 1;
    }
    g_list_free_full(mounts, reinterpret_cast<GDestroyNotify>(g_unix_mount_free));
    std::printf("%s: %s\n", argv[1],
                result == 0   ? "shown"
                : result == 1 ? "not shown"
                              : "not mounted");
    return result;
}
