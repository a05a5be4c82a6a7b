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
    fitAutoSizedLabels(form_.scheme().area);
    form_.Dr->update();
}

void ObjectFormEditorHost::setSnapStep(int step) {
    snapStep_ = step;
    if (snapStepChanged) snapStepChanged(step);
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

ObjectFormEditMode::ObjectFormEditMode(TOBJECTFORM& form, TForm3& editor, ObjectFormEditorHost& host)
    : target_(form.scheme(),
              [&form] {
                  // a resized, restored or edited auto-sized label keeps its text's size
                  fitAutoSizedLabels(form.scheme().area);
                  form.Dr->update();
              }),
      mode_(form.Dr, target_) {
    TOBJECTFORM* f = &form;
    TForm3* ed = &editor;
    SchemeEditMode* m = &mode_;
    m->setGridStep(host.snapStep());
    host.snapStepChanged = [m](int step) { m->setGridStep(step); };
    m->selectToolActive = [ed] { return ed->tool() == TForm3::Tool::Select; };
    m->placeElement = [ed](QPoint p) { ed->placeElement(p); };
    m->markModified = [f] { f->schemeModified = true; };
    m->writeSnapshot = [f] { f->writeSnapshot(); };
    m->properties = [f, ed](const std::string& name) {
        const Element* e = f->scheme().element(name);
        if (!e) return;
        if (e->cls() == ElementClass::Label) {
            ed->textDialog().editLabel(f->scheme(), name);
        } else if (e->cls() == ElementClass::DBText) {
            ed->fieldDialog().setStateTable(&f->currentState());
            ed->fieldDialog().setFieldText([f](const std::string& field) { return f->fieldText(field); });
            ed->fieldDialog().editLabel(f->scheme(), name);
        }
        fitAutoSizedLabels(f->scheme().area);
        f->Dr->update();
    };
    SchemeEditTarget* t = &target_;
    QObject::connect(&form, &TOBJECTFORM::schemeReplaced, &mode_, [t] { t->forgetHistory(); });
    // the editor's own editing actions are undo steps too, and its undo and redo keys act on the area
    QObject::connect(&editor, &TForm3::aboutToEdit, &mode_, [t] { t->keepState(); });
    QObject::connect(&editor, &TForm3::undoRequested, &mode_, [m] { m->undo(); });
    QObject::connect(&editor, &TForm3::redoRequested, &mode_, [m] { m->redo(); });
    QObject::connect(&editor, &TForm3::docked, &mode_, [m] { m->setActive(true); });
    QObject::connect(&editor, &TForm3::closed, &mode_, [m] { m->setActive(false); });
}

} // namespace schemes
