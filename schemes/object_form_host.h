// The object window TOBJECTFORM as the scheme editor's host: the editor edits the scheme on the window's
// drawing area, and the window is in edit mode while the editor is shown in its tool strip.
//
// attach() wires one editor to one object window for the life of both:
//   - the editor edits the window's scheme, path and modified flag;
//   - the grid layer is shown on the drawing area in place of the wallpaper (the wallpaper comes back when
//     the grid is hidden);
//   - the edit panel's "Мастер схем" shows the editor docked in the tool strip again;
//   - closing the window first closes the editor (its save question may keep both open);
//   - when the editor closes, the tool strip and the edit panel are hidden.
// enterEditMode() is what the object master's scheme-editor command does before it opens the window.
#pragma once

#include "schemes/edit_mode.h"
#include "schemes/object_form.h"
#include "schemes/scheme_editor.h"

namespace schemes {

class ObjectFormEditorHost : public SchemeEditorHost {
public:
    // objects: the table the window shows (its current record is the current object).
    ObjectFormEditorHost(TOBJECTFORM& form, dbf::Table& objects) : form_(form), objects_(objects) {}

    Scheme& scheme() override { return form_.scheme(); }
    std::string currentSchemePath() const override { return form_.currentSchemePath(); }
    void setCurrentSchemePath(const std::string& path) override { form_.setCurrentSchemePath(path); }
    bool schemeModified() const override { return form_.schemeModified; }
    void setSchemeModified(bool on) override { form_.schemeModified = on; }
    bool loadScheme(const std::string& path) override;
    void clearScheme() override { form_.clearScheme(); }
    void schemeChanged() override;
    void showGridLayer(const QImage& grid) override;
    void setSnapStep(int step) override;
    dbf::Table& objects() override { return objects_; }
    dbf::Table* stateTable() override { return &form_.currentState(); }
    FieldText fieldText() override;
    void showArea() override;
    void schemeNumberChanged(int number) override;

    // The step the selection frame is to snap to (1 = free).
    int snapStep() const { return snapStep_; }
    bool gridShown() const { return gridShown_; }
    // Called with every new step (the edit mode's grid).
    std::function<void(int)> snapStepChanged;

private:
    TOBJECTFORM& form_;
    dbf::Table& objects_;
    QImage wallpaper_;
    bool gridShown_ = false;
    int snapStep_ = 1;
};

// Edit mode on the window's drawing area: active while the editor is docked in the window, its grid step the
// editor's display mode, presses on the background with a placing tool going to the editor, "Свойства"
// opening the editor's label dialogs on the label, the snapshot written before every background press, one
// undo history for the presses and the editor's scheme move, Ctrl+Z and Ctrl+Y from the area or the editor.
// The quarter turns ("90", "180", "-90") turn the picture on the scheme unless mode().rotate is set.
class ObjectFormEditMode {
public:
    ObjectFormEditMode(TOBJECTFORM& form, TForm3& editor, ObjectFormEditorHost& host);
    SchemeEditMode& mode() { return mode_; }

private:
    SchemeEditTarget target_;
    SchemeEditMode mode_;
};

// Connects the editor and the window as described above. The host must outlive both connections.
void attach(TOBJECTFORM& form, TForm3& editor, ObjectFormEditorHost& host);
// Edit mode: the edit panel and the tool strip shown, the editor docked in the strip.
void enterEditMode(TOBJECTFORM& form, TForm3& editor);

} // namespace schemes
