// TForm3, "Мастер схем": the scheme editor's tool strip. It has no drawing surface of its own; the elements
// live on the object window's drawing area, reached through a SchemeEditorHost. The editor supplies the file
// commands (new, open a template, save with the overwrite question or as a new scheme), the three display
// modes with the grid layer and the snapping step, the five tools and the placing of elements, the palette
// with its recolouring, the vector elements of "Objects.ini", the move of the whole scheme and the close
// question "Сохранить изменения перед выходом?".
//
// The editor exists for the whole run; it is a tool window above the others until dockInto() puts it into
// the object window's tool strip. It owns the two label dialogs, which the object window's "Свойства" uses
// too (textDialog(), fieldDialog()).
#pragma once

#include "dbf/table.h"
#include "schemes/label_dialogs.h"
#include "schemes/render.h"
#include "schemes/scheme.h"

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QButtonGroup;
class QComboBox;
class QLabel;
class QSpinBox;
class QToolButton;

namespace schemes {

// What the editor edits: the scheme on the object window's drawing area and the window's state.
class SchemeEditorHost {
public:
    virtual ~SchemeEditorHost() = default;
    // The elements of the drawing area in painting order (the editor adds, moves and removes them).
    virtual Scheme& scheme() = 0;
    // The full path of the scheme file shown; empty when none.
    virtual std::string currentSchemePath() const = 0;
    virtual void setCurrentSchemePath(const std::string& path) = 0;
    virtual bool schemeModified() const = 0;
    virtual void setSchemeModified(bool on) = 0;
    // Loads a scheme file into the area in place of its elements; false after the load's own message.
    virtual bool loadScheme(const std::string& path) = 0;
    // Destroys every element of the area.
    virtual void clearScheme() = 0;
    // The elements changed (placed, moved, restyled): repaint, and give new ones the element mouse handling.
    virtual void schemeChanged() = 0;
    // The grid layer (1001 × 581, two pixels inside the area) shown with this picture and the wallpaper
    // hidden; a null image hides the grid layer and shows the wallpaper again.
    virtual void showGridLayer(const QImage& grid) = 0;
    // The selection frame's grid step in both directions (1 = no snapping).
    virtual void setSnapStep(int step) = 0;
    // The objects table (MAINDB) with the current object as its current record.
    virtual dbf::Table& objects() = 0;
    // The current object's current-state table for the field dialog (may be closed), and a field's value.
    virtual dbf::Table* stateTable() = 0;
    virtual FieldText fieldText() = 0;
    // "New scheme" shows the object window before it empties the area.
    virtual void showArea() = 0;
    // The current object's scheme number changed (save as new): the edit panel's "Схема " caption.
    virtual void schemeNumberChanged(int number) = 0;
};

// The folder "Circuits" of the program folder, found in any letter case; the folder as it would be spelled
// when there is none.
std::string templateFolder(const std::string& programDir);
// The file dialog of "open": filter "Шаблоны схем (*.MNS)", opened in folder (Qt's own dialog, never the
// desktop's). The chosen file, empty when cancelled.
QString chooseTemplateDialog(QWidget* parent, const QString& folder);

class TForm3 : public QWidget {
    Q_OBJECT
public:
    enum class Mode { Wallpaper, Free, Grid };
    enum class Tool { Select, Text, Field, Picture, Palette };

    // programDir: the program folder ("Circuits", "Circuits/Objects.ini", "Circuits/ScmList.lst").
    explicit TForm3(std::string programDir, QWidget* parent = nullptr);
    ~TForm3() override;

    void setHost(SchemeEditorHost* host);
    SchemeEditorHost* host() const { return host_; }
    // Puts the editor into the strip (at its top-left corner) and shows it; undock() makes it a tool window
    // above the others again.
    void dockInto(QWidget* strip);
    void undock();

    // ---- commands
    // Empties the area; the scheme path and the modified flag stay.
    void newScheme();
    // "Шаблоны схем" file dialog in the program's "Circuits"; a chosen existing file is loaded as a template
    // (path and flag stay).
    void openScheme();
    // Shows the current path, then overwrites it or saves as new (see saveAsNew). True when the modified flag
    // was cleared.
    bool save();
    // Description "Новая схема" / "Введите описание новой схемы", the next free number of the object's
    // DEVTYPE, the file, the line "S" + n in ScmList.lst, SCHTYPE := n in MAINDB (in the pending record when
    // one is being entered or changed), the new current path. False when nothing was saved (no free number, a
    // write error: reported, neither list nor SCHTYPE changed).
    bool saveAsNew();
    void setMode(Mode m);
    Mode mode() const { return mode_; }
    void setTool(Tool t);
    Tool tool() const { return tool_; }
    // Moves every element by the "Шаг смещения" step (dx, dy are −1, 0 or 1) and marks the scheme modified;
    // one undo step (aboutToEdit comes first).
    void moveScheme(int dx, int dy);
    // A left press on the area's background with a tool other than select: places the tool's element at p.
    // The object window sets the modified flag afterwards.
    void placeElement(QPoint p);
    // Copies palette picture i into the preview, its clLime parts in the colour chosen now.
    void palettePick(int index);
    // The close question; true when the editor may close.
    bool closeQuery();

    // ---- state
    int snapStep() const { return snapStep_; }
    QImage gridImage() const { return grid_; }
    const QImage& palettePreview() const { return preview_; }
    QColor paletteColour() const;
    void setPaletteColour(QColor c);
    const ElementLibrary& library() const { return *library_; }
    TTXTLabelForm& textDialog() { return *textDialog_; }
    TDBFieldForm& fieldDialog() { return *fieldDialog_; }

    // ---- choosers (Qt's file and colour dialogs unless replaced)
    // The picture file for the picture tool; empty when cancelled.
    std::function<QString(QWidget*)> choosePictureFile;
    // The template for "open"; empty when cancelled. By default chooseTemplateDialog() in templateFolder().
    std::function<QString(QWidget*)> chooseTemplateFile;
    // The custom colour of the palette's colour list.
    ColourChooser chooseCustomColour = standardColourDialog;
    // The program's general error handling (class name, message), e.g. TMainForm::handleError.
    std::function<void(const QString&, const QString&)> errorHandler;

    // ---- controls
    QToolButton* NewButton = nullptr;
    QToolButton* OpenButton = nullptr;
    QToolButton* SaveButton = nullptr;
    QToolButton* WallpaperModeButton = nullptr;
    QToolButton* FreeModeButton = nullptr;
    QToolButton* GridModeButton = nullptr;
    QToolButton* SelectToolButton = nullptr;
    QToolButton* TextToolButton = nullptr;
    QToolButton* FieldToolButton = nullptr;
    QToolButton* PictureToolButton = nullptr;
    QToolButton* PaletteToolButton = nullptr;
    QSpinBox* GridStepBox = nullptr; // "Шаг сетки"
    QToolButton* MoveLeftButton = nullptr;
    QToolButton* MoveUpButton = nullptr;
    QToolButton* MoveRightButton = nullptr;
    QToolButton* MoveDownButton = nullptr;
    QSpinBox* MoveStepBox = nullptr; // "Шаг смещения"
    QWidget* PalettePanel = nullptr;
    QLabel* PalettePreviewBox = nullptr;
    QComboBox* PaletteColourBox = nullptr;
    std::vector<QToolButton*> PaletteButtons;
    QComboBox* VectorList = nullptr;    // hidden
    QSpinBox* VectorScaleBox = nullptr; // hidden
    QAction* UndoAction = nullptr;
    QAction* RedoAction = nullptr;

signals:
    // The editor has closed (after its close question): the object window leaves edit mode.
    void closed();
    // The editor was docked into the tool strip and shown: the object window is in edit mode.
    void docked();
    // An editing action of the editor's own is about to change the elements: the state before it is kept
    // for undo.
    void aboutToEdit();
    // Ctrl+Z, and Ctrl+Y or Ctrl+Shift+Z, while the focus is in the editor (UndoAction, RedoAction).
    void undoRequested();
    void redoRequested();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void build();
    void drawGrid();
    void showPreview();
    void colourChosen(int index);
    void reportSaveError(const std::string& path, const std::exception& e);
    Element* addElement(Element e);

    std::string programDir_;
    SchemeEditorHost* host_ = nullptr;
    std::unique_ptr<ElementLibrary> library_;
    std::unique_ptr<TTXTLabelForm> textDialog_;
    std::unique_ptr<TDBFieldForm> fieldDialog_;
    QButtonGroup* modeGroup_ = nullptr;
    QButtonGroup* toolGroup_ = nullptr;
    Mode mode_ = Mode::Wallpaper;
    Tool tool_ = Tool::Select;
    int snapStep_ = 1; // no snapping until a mode is first chosen
    QImage grid_;
    QImage preview_;
    int lastColourIndex_ = 0;
};

} // namespace schemes
