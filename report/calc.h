// The spreadsheet engine of the report program: one LibreOffice (soffice, headless, with a private profile
// folder) per program run, driven through its UNO API over a pipe. Nothing of UNO shows in this header.
//
// Every call blocks until LibreOffice has answered; failures are raised as calc::Error with LibreOffice's
// message. A call that hangs is ended from another thread with Office::abort(), which makes it fail.
#pragma once

#include "report/template_fill.h"

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace zorbel::calc {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A rectangle of cells of one sheet, 0-based, both ends included.
struct Area {
    int sheet = 0;
    int col1 = 0, row1 = 0, col2 = 0, row2 = 0;
    int cells() const { return (col2 - col1 + 1) * (row2 - row1 + 1); }
};

class Workbook;

class Office {
public:
    // Where soffice lies; $ZORBEL_SOFFICE overrides it (an empty or missing program: start() fails).
    static std::string defaultProgram();

    explicit Office(std::string program = defaultProgram());
    ~Office(); // ends the soffice it started
    Office(const Office&) = delete;
    Office& operator=(const Office&) = delete;

    // Starts the soffice process without waiting for it (start() then connects). The process is ended with
    // this program when the thread that launched it is the program's main thread.
    void launch();
    // Starts soffice (when launch() has not) and connects to it, waiting up to timeoutMs; nothing happens
    // when it runs already. Throws Error when it cannot be started or does not answer.
    void start(int timeoutMs = 60000);
    bool running() const;
    // Ends soffice (terminate through UNO, SIGTERM after a grace time).
    void stop();
    // Process id of the running soffice, 0 when none.
    int pid() const;
    // Ends the office's processes at once, from any thread and without waiting for a call in progress
    // (which then fails): SIGTERM, or SIGKILL when `hard`. stop() afterwards reaps it and removes its
    // profile.
    void abort(bool hard);
    // The private profile folder of the running office, empty when none.
    std::string profileDir() const;

    // Removes the profile folders under `base` (the user's private temporary folder when empty, and the
    // private folders of other runs beside it) whose owning program is gone; returns how many.
    static int removeStaleProfiles(const std::string& base = {});

    // A workbook: a new one made from a template (asTemplate), an existing file, or an empty one (path "").
    std::unique_ptr<Workbook> open(const std::string& path, bool asTemplate, bool readOnly = false);
    std::unique_ptr<Workbook> create();

    struct Impl;

private:
    std::unique_ptr<Impl> d;
    std::recursive_mutex mutex_;
};

class Workbook {
public:
    ~Workbook(); // closes the document without saving
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    // The areas of a workbook name on the first sheet; empty when the name is missing or holds no cells.
    std::vector<Area> namedRange(const std::string& name);
    // Defines a workbook name (used when templates are made).
    void addName(const std::string& name, const std::vector<Area>& areas);

    // Formula text of a cell of the first sheet (its content for a constant cell).
    std::string formula(int col, int row);
    // The text a cell shows (its number format applied).
    std::string display(int col, int row);
    void setValue(int col, int row, const CellValue& v);
    // Sets a formula (or a constant, parsed as the cell input would be).
    void setFormula(int col, int row, const std::string& text);
    // Inserts `count` rows before row `before` and copies row `source` (values, texts and formats) into them.
    void replicateRow(int source, int before, int count);
    // Writes a block of values starting at (col, row).
    void setBlock(int col, int row, const std::vector<std::vector<CellValue>>& block);
    // Cell properties used when templates are made: "CharWeight", "CellBackColor", a number format given by
    // its format code, column widths (1/100 mm) and the frame of a range.
    void setNumberFormat(const Area& a, const std::string& code);
    void setBold(const Area& a, bool bold);
    // Texts longer than the cell's width go on in further lines (the row grows to hold them).
    void setWrapped(const Area& a);
    void setFontHeight(const Area& a, double points);
    void setFrame(const Area& a);
    void setMerged(const Area& a);
    void setColumnWidth(int col, int width);
    void setSheetName(const std::string& name);
    // The first sheet is printed one page wide, without page header and footer.
    void fitToPageWidth();
    // Rows first … last of the first sheet are printed at the top of every page.
    void setPrintTitleRows(int first, int last);

    // Saves the whole workbook as an Excel 97-2003 file.
    void saveXls(const std::string& path);
    // Saves the whole workbook in the format its file name ends with: .xlsx, .ods or .xls. Throws Error for
    // another ending.
    void saveAs(const std::string& path);
    // The office's filter for a file name's ending (.xlsx, .ods, .xls), empty for another one.
    static std::string filterFor(const std::string& path);
    // Exports the first sheet to PDF.
    void exportFirstSheetPdf(const std::string& path);
    void close();

    struct Impl;
    explicit Workbook(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> d;
};

} // namespace zorbel::calc
