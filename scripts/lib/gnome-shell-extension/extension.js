// Loaded only by scripts/desktop-session into a private GNOME Shell 43 made for tests.
/* exported init enable disable */
const Main = imports.ui.main;

let startupCompleteId = 0;

function init() {
}

function enable() {
    // The harness asks the shell whether it is ready, and where XWayland is, through org.gnome.Shell.Eval,
    // which answers nothing unless the shell runs in unsafe mode (GNOME 43 has no --unsafe-mode flag). The
    // shell announces that mode with a banner over the top of the screen, unless the looking glass is open:
    // then GNOME 43 takes it for the user's own doing.
    const lookingGlass = Main.lookingGlass;
    Main.lookingGlass = {isOpen: true};
    global.context.unsafe_mode = true;
    Main.lookingGlass = lookingGlass;
    // The shell opens the overview at start, which covers every window: a user would close it first.
    if (Main.layoutManager._startingUp)
        startupCompleteId = Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
    else
        Main.overview.hide();
}

function disable() {
    if (startupCompleteId)
        Main.layoutManager.disconnect(startupCompleteId);
    startupCompleteId = 0;
    global.context.unsafe_mode = false;
}
