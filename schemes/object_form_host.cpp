#include "schemes/object_form_host.h"

#include <QLabel>
#include <QPushButton>

namespace schemes {

bool ObjectFormEditorHost::loadScheme(const std::string& path) {
    const bool ok = form_.loadScheme(path);
    form_.Dr->update();
    return ok;
}

void ObjectFormEditorHost::schemeChanged() {
    form_.Dr->update();
}

void ObjectFormEditorHost::showGridLayer(const QImage& grid) {
    if (grid.isNull()) {
        if (gridShown_) form_.Dr->setWallpaper(wallpaper_);
        gridShown_ = false;
        return;
    }
    if (!gridShown_) wallpaper_ = form_.Dr->wallpaper();
    gridShown_ = true;
    form_.Dr->setWallpaper(grid);
}

FieldText ObjectFormEditorHost::fieldText() {
    TOBJECTFORM* form = &form_;
    return [form](const std::string& field) { return form->fieldText(field); };
}

void ObjectFormEditorHost::showArea() {
    if (!form_.isVisible()) form_.show();
}

void ObjectFormEditorHost::schemeNumberChanged(int number) {
    form_.SchemeNumberText->setText("Схема " + QString::number(number));
}

void enterEditMode(TOBJECTFORM& form, TForm3& editor) {
    form.EditPanel->show();
    form.ToolStrip->show();
    editor.dockInto(form.ToolStrip);
}

void attach(TOBJECTFORM& form, TForm3& editor, ObjectFormEditorHost& host) {
    editor.setHost(&host);
    TForm3* ed = &editor;
    TOBJECTFORM* f = &form;
    form.closeQuery = [ed] { return !ed->isVisible() || ed->close(); };
    QObject::connect(&form, &TOBJECTFORM::schemeEditorRequested, &editor,
                     [f, ed] { enterEditMode(*f, *ed); });
    QObject::connect(&editor, &TForm3::closed, &form, [f] {
        f->ToolStrip->hide();
        f->EditPanel->hide();
    });
}

} // namespace schemes
