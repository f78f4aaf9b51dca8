// form.cpp: the code-generation form: a prompt drop-down, a query box and a
// Submit button that runs generate_code_completion.
#include "modules/nbassist/nbassist.hpp"

#include <chrono>

namespace quillon::nbassist {
namespace {

// --- texts -----------------------------------------------------------------------

// The form.
constexpr char select_prompt[] = "Select the prompt";
constexpr char debug_code[] = "Debug Code";
constexpr char placeholder_initial[] = "Type your code generation query here";
constexpr char placeholder_query[] = "Type your code generation query here.";
constexpr char placeholder_error[] = "Enter your error response here.";

constexpr char generate_code_doc[] = "\n    Generate the code using the GPT-3 API\n    :return:\n    ";
constexpr char on_button_clicked_doc[] =
    "\n        Update the box on the submission of the query\n"
    "        :param b: button \n"
    "        :return:\n        ";
constexpr char update_text_box_doc[] =
    "\n        Update the text box with the selected value\n"
    "        :param change: change in the value of the drop down\n"
    "        :return: None\n        ";

// --- the code-generation form ------------------------------------------------------------

constexpr char submit_label[] = "Submit";
constexpr char working_label[] = "Working…";
constexpr char working_icon[] = "spinner spin";  // Font Awesome's spinner, turning

// The cells shared by the two handlers of one form: the handlers' own, and
// the Submit button with the moment from which a click is a new one.

// --- parameters ----------------------------------------------------------------------

struct GenerateCodeArgs {
    PyObject* global_variables;
};
constexpr Param generate_code_params[] = {{"global_variables", Exact::any, nullptr, Default::None()}};

/// The form's two handlers.
struct OnButtonClickedArgs {
    PyObject* b;
};
constexpr Param on_button_clicked_params[] = {{"b"}};

struct UpdateTextBoxArgs {
    PyObject* change;
};
constexpr Param update_text_box_params[] = {{"change"}};

enum FormCell : std::size_t {
    cell_global_variables,
    cell_prompt_drop_down,
    cell_question_textbox,
    cell_submit_button,
    cell_ready_after,
    form_cell_count
};

bool equals(PyObject* value, const char* s) {
    Ref t = text(s);
    return need(PyObject_RichCompareBool(value, t.get(), Py_EQ)) != 0;
}

/// When the browser sent the click that the kernel is handling (its
/// message's date, by the browser's clock), or empty outside a kernel.
Ref click_sent_at(Function& fn) {
    Ref shell = running_shell(fn);
    if (!shell) return {};
    Ref date = dict_entry(fn, dict_entry(fn, widget_event(fn, shell.get()).get(), "header"_n).get(), "date"_n);
    if (!date) return {};
    Ref datetime_type = import_from("datetime", "datetime");
    return need(PyObject_IsInstance(date.get(), datetime_type.get())) ? date : Ref{};
}

// From Submit until the answer or an error, the button is disabled and says
// that it works, so that the front end sends no click meanwhile. A click that
// the front end sent before it saw the button disabled (the second half of a
// double click) waits in the kernel's queue and arrives after the work: it
// was sent before the moment the work ended, and is dropped. That moment is
// kept in the browser's clock (the first click's date plus the work's
// duration), so clocks that differ between browser and kernel do not matter.
Ref on_button_clicked_impl(Function& fn, const OnButtonClickedArgs&) {
    // The cells' contents are held for the whole call: the widgets' Python
    // code may rebind the cells meanwhile.
    Ref drop_down = fn.cell(cell_prompt_drop_down), textbox = fn.cell(cell_question_textbox);
    Ref global_variables = fn.cell(cell_global_variables), button = fn.cell(cell_submit_button);
    if (truth(attr(fn, button.get(), "disabled"_n).get()))
        return Ref::borrow(Py_None);  // it works: no second request
    Ref sent = click_sent_at(fn);
    Ref ready_after = fn.cell(cell_ready_after);
    if (sent && ready_after.get() != Py_None && need(PyObject_RichCompareBool(sent.get(), ready_after.get(), Py_LT)))
        return Ref::borrow(Py_None);

    Ref selected = attr(fn, drop_down.get(), "value"_n);
    bool debug_mode = equals(selected.get(), debug_code);
    Ref query = attr(fn, textbox.get(), "value"_n);
    Ref description = attr(fn, button.get(), "description"_n);
    Ref icon = attr(fn, button.get(), "icon"_n);
    auto started = std::chrono::steady_clock::now();
    try_finally(
        [&] {  // the working state is set inside: its observers may fail too
            set_attr(fn, button.get(), "disabled"_n, Py_True);
            set_attr(fn, button.get(), "icon"_n, text(working_icon).get());
            set_attr(fn, button.get(), "description"_n, text(working_label).get());
            call(fn, global(fn, "generate_code_completion"_n).get(), {},
                 {{"query"_n, query.get()},
                  {"global_variables"_n, global_variables.get()},
                  {"debug_mode"_n, boolean(debug_mode)},
                  {"jupyter_mode"_n, Py_True}});
        },
        [&] {  // enabled last, once it reads as before, but even if that fails
            try_finally(
                [&] {
                    set_attr(fn, button.get(), "description"_n, description.get());
                    set_attr(fn, button.get(), "icon"_n, icon.get());
                },
                [&] { set_attr(fn, button.get(), "disabled"_n, Py_False); });
            if (!sent) return;
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
            Ref seconds = own(PyFloat_FromDouble(took.count()));
            Ref elapsed = call(fn, import_from("datetime", "timedelta").get(), {}, {{"seconds"_n, seconds.get()}});
            Ref ready = own(PyNumber_Add(sent.get(), elapsed.get()));
            need(PyCell_Set(PyTuple_GET_ITEM(fn.closure, cell_ready_after), ready.get()));
        });
    return Ref::borrow(Py_None);
}

Ref update_text_box_impl(Function& fn, const UpdateTextBoxArgs& a) {
    Ref selected_value = item(fn, a.change, "new"_n);
    Ref textbox = fn.cell(cell_question_textbox);
    if (equals(selected_value.get(), select_prompt)) {
        set_attr(fn, textbox.get(), "placeholder"_n, text(placeholder_query).get());
    } else if (equals(selected_value.get(), debug_code)) {
        set_attr(fn, textbox.get(), "placeholder"_n, text(placeholder_error).get());
    } else {
        set_attr(fn, textbox.get(), "placeholder"_n, text(placeholder_query).get());
        Ref prompt = own(PyObject_GetItem(global(fn, "prompt_sample_list"_n).get(), selected_value.get()));
        set_attr(fn, textbox.get(), "value"_n, prompt.get());
    }
    return Ref::borrow(Py_None);
}

constexpr FunctionSpec on_button_clicked_spec =
    function<OnButtonClickedArgs, on_button_clicked_params, on_button_clicked_impl>("on_button_clicked",
                                                                                    on_button_clicked_doc);
constexpr FunctionSpec update_text_box_spec =
    function<UpdateTextBoxArgs, update_text_box_params, update_text_box_impl>("update_text_box", update_text_box_doc);

Ref generate_code_impl(Function& fn, const GenerateCodeArgs& a) {
    Ref cells = own(PyTuple_New(form_cell_count));
    for (std::size_t i = 0; i < form_cell_count; ++i)
        PyTuple_SET_ITEM(cells.get(), static_cast<Py_ssize_t>(i), need(PyCell_New(nullptr)));
    auto store = [&](FormCell c, PyObject* v) { need(PyCell_Set(PyTuple_GET_ITEM(cells.get(), c), v)); };
    store(cell_global_variables, a.global_variables);
    store(cell_ready_after, Py_None);

    Ref widgets = global(fn, "widgets"_n);
    Ref titles = own(PySequence_List(call_method(fn, global(fn, "prompt_sample_list"_n).get(), "keys"_n).get()));
    Ref options = own(PyList_New(0));
    need(PyList_Append(options.get(), text(select_prompt).get()));
    need(PyList_Append(options.get(), text(debug_code).get()));
    need(PyList_SetSlice(options.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, titles.get()));

    Ref prompt_drop_down = call(fn, attr(fn, widgets.get(), "Dropdown"_n).get(), {},
                                {{"options"_n, options.get()}, {"description"_n, text("Select Prompt:").get()}});
    store(cell_prompt_drop_down, prompt_drop_down.get());
    Ref or_text = call(fn, attr(fn, widgets.get(), "HTML"_n).get(), {}, {{"value"_n, text("<strong>OR</strong>").get()}});
    Ref question_textbox = call(fn, attr(fn, widgets.get(), "Textarea"_n).get(), {},
                                {{"value"_n, text("").get()},
                                 {"placeholder"_n, text(placeholder_initial).get()},
                                 {"description"_n, text("Query:").get()},
                                 {"rows"_n, integer(3).get()}});
    store(cell_question_textbox, question_textbox.get());
    Ref submit_button =
        call(fn, attr(fn, widgets.get(), "Button"_n).get(), {}, {{"description"_n, text(submit_label).get()}});
    store(cell_submit_button, submit_button.get());

    Ref on_click_handler = make_closure(fn, on_button_clicked_spec, cells);
    Ref on_change_handler = make_closure(fn, update_text_box_spec, cells);

    call_method(fn, prompt_drop_down.get(), "observe"_n, {on_change_handler.get()}, {{"names"_n, text("value").get()}});
    Ref children = own(PyList_New(0));
    for (const Ref& w : {prompt_drop_down, or_text, question_textbox, submit_button})
        need(PyList_Append(children.get(), w.get()));
    Ref box_layout = call(attr(fn, widgets.get(), "VBox"_n).get(), {children.get()});
    call(global(fn, "display"_n).get(), {box_layout.get()});
    call_method(fn, submit_button.get(), "on_click"_n, {on_click_handler.get()});
    return Ref::borrow(Py_None);
}

}  // namespace

const FunctionSpec generate_code_spec =
    function<GenerateCodeArgs, generate_code_params, generate_code_impl>("generate_code", generate_code_doc);
}  // namespace quillon::nbassist
