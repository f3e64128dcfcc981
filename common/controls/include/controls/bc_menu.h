// BCMenu: a popup menu whose items the program draws itself, built from a menu template.
#pragma once

#include <QMenu>

#include <string>
#include <vector>

// One item of a menu template: a command (id > 0), a separator (id 0, no text) or a popup
// (children).
struct MenuTemplateItem {
    int id = 0;
    std::u16string text;
    std::vector<MenuTemplateItem> children;
};

class BCMenu : public QMenu {
    Q_OBJECT
public:
    explicit BCMenu(QWidget* parent = nullptr);
    ~BCMenu() override;

    // Process-wide look: 1 is the flat look; any other mode draws the classic look.
    static void SetMenuDrawMode(int mode);
    static int GetMenuDrawMode();

    // Builds the menu from the template: one popup per top-level entry, every command item
    // drawn by the menu and keeping its text.
    bool LoadMenu(const std::vector<MenuTemplateItem>& menuTemplate);
    // The n-th top-level popup, or nullptr.
    BCMenu* GetSubMenu(int position) const;

    // Enables or greys the command item; false when the menu has no such item.
    bool EnableMenuItem(int id, bool enabled);
    QAction* FindCommand(int id) const;
    // Shows the menu at the global position (right-button tracking) and returns the chosen
    // command id, 0 when none was chosen.
    int TrackPopupMenu(const QPoint& globalPos);

private:
    void build(const std::vector<MenuTemplateItem>& items);
    std::vector<BCMenu*> popups_;
};
