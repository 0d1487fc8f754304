// The run manager: reads a project file, builds the modules, the clock and
// the links, drives the step loop and records the results. The entry object
// QuillMere hands it a project path and calls run_simulation.
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/trampoline.h>

#include <cstdint>
#include <string>

namespace qm::py {
namespace nb = nanobind;

class Manager {
public:
    Manager() = default;
    virtual ~Manager() = default;
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    nb::object file_path = nb::none();  // as given to the constructor (any object)

    // Options a caller may set before running.
    nb::object output_path = nb::none();  // results CSV; overrides the project's [output] csv
    bool quiet = false;                   // no summary or status lines
    bool progress = false;                // progress line on standard error
    bool regenerate_shading = false;      // recompute the shading tables (each replaced when complete)

    // State of the current (or last) run, replaced by every run.
    nb::object project = nb::none();  // the checked project record (dict)
    nb::object clock = nb::none();    // SimClock
    nb::object modules = nb::none();  // instance name -> module, in file order
    nb::object links = nb::none();    // list of Link
    nb::object state = nb::none();    // {"modules": ..., "site": ...}
    nb::object results = nb::none();  // pandas DataFrame of the recorded outputs
    nb::object summary = nb::none();  // generator name -> figures
    nb::object timings = nb::none();  // seconds spent in the parts of the step loop

    // Method table, in slot order; every slot is overridable by host subclasses.
    virtual nb::object load_project();    // 1: read and check the project file
    virtual nb::object create_clock();    // 2: clock with the run period and time step
    virtual nb::object create_modules();  // 3: modules, in_file_params, recorded outputs
    virtual nb::object create_links();    // 4: links, checked against the modules' variables
    virtual void awake_modules();         // 5: start-up hooks, shading modules first
    virtual nb::object run_steps();       // 6: the step loop; returns the results table
    virtual void finish_modules();        // 7: end hooks
    virtual void write_results();         // 8: CSV file, when a path is set
    virtual nb::object summarize();       // 9: energy, peak power, full-load hours
    virtual nb::object run_simulation();  // 10: the whole run; returns the results table

    // The run's start-up without its step loop: load_project, create_clock,
    // create_modules, then create_links when until is links or awake, then
    // awake_modules when it is awake (each through the method table, so a
    // subclass's redefinition is reached). What a sweep checks before it
    // submits a variant, or a map reads of a project.
    enum class Stage { modules, links, awake };
    void prepare(Stage until);

    // Internal: the results path must not be one of the project's inputs.
    void check_results_path();

    int traverse(visitproc visit, void* arg);
    void clear();
};

// quillmere.core.manager.load_project(path): the project file as a dict with
// the file's structure, after the checks a run makes, with "folder" added.
nb::object load_project_data(nb::handle path);

class PyManager final : public Manager {
public:
    NB_TRAMPOLINE(Manager, 10);
    nb::object load_project() override { NB_OVERRIDE(load_project); }
    nb::object create_clock() override { NB_OVERRIDE(create_clock); }
    nb::object create_modules() override { NB_OVERRIDE(create_modules); }
    nb::object create_links() override { NB_OVERRIDE(create_links); }
    void awake_modules() override { NB_OVERRIDE(awake_modules); }
    nb::object run_steps() override { NB_OVERRIDE(run_steps); }
    void finish_modules() override { NB_OVERRIDE(finish_modules); }
    void write_results() override { NB_OVERRIDE(write_results); }
    nb::object summarize() override { NB_OVERRIDE(summarize); }
    nb::object run_simulation() override { NB_OVERRIDE(run_simulation); }
};

void bind_manager(nb::module_& m);

// The bound Manager type (the entry object checks its manager with it).
nb::handle manager_type();

}  // namespace qm::py
