// The demo's scripted walk-throughs, reporting each step to the runner.
// "?walkthrough": picks a folder (the browser answers the dialog from its script), uploads it,
// waits for the Assistant to finish, then picks the next folder so the finished page shows a list.
// "?walkthrough=drop": says where to drop, waits for the runner's drop, removes the first row
// through the table, uploads the rest and waits for the Assistant to finish.
// "?walkthrough=bench&rounds=N": N times, picks a folder and reports the time until the table
// shows its total, then the time to draw the table scrolled to its middle and to remove one row,
// and resets the list.
"use strict";

(() => {
  // qiravel-browser's test mode listens on its message handler; a driver of another browser reads
  // the reports kept in the page.
  const channel = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.qiravelTest;
  window.walkthroughReports = [];
  const report = text => {
    window.walkthroughReports.push(text);
    if (channel)
      channel.postMessage(text);
    else
      log("INFO", "Walk-through: " + text);
  };
  // The list as drawn, once no request is running and the table shows its last change.
  const listCount = () => requestsRunning === 0 && !table.pending ? Number(document.body.dataset.listCount) || 0 : -1;

  function waitFor(condition, what, seconds = 240) {
    const deadline = Date.now() + seconds * 1000;
    return new Promise((resolve, reject) => {
      const check = () => {
        if (condition())
          resolve();
        else if (Date.now() > deadline)
          reject(new Error("gave up waiting for " + what));
        else
          setTimeout(check, 100);
      };
      check();
    });
  }

  async function upload() {
    $("start-upload").click();
    await waitFor(() => Number(document.body.dataset.jobsDone) >= 1, "the upload to finish");
    await waitFor(() => listCount() === 0, "the sent files to leave the list", 30);
    const state = document.querySelector(".job-state");
    if (!state.classList.contains("done"))
      throw new Error("the upload ended with " + state.textContent);
    report("uploaded: " + state.textContent);
  }

  const total = () => $("total-count").textContent + ", " + $("total-size").textContent;

  async function pickAndUpload() {
    $("pick").click();
    await waitFor(() => listCount() > 0, "the picked folder on the list", 30);
    report("picked " + listCount() + " files");
    await upload();

    $("pick").click();
    await waitFor(() => listCount() > 0, "the second folder on the list", 30);
    $("log").open = true;
    await new Promise(resolve => requestAnimationFrame(() => requestAnimationFrame(resolve)));
    report("pass");
  }

  async function dropRemoveAndUpload() {
    const zone = $("plugin").getBoundingClientRect();
    report("drag-target " + Math.round(zone.left + zone.width / 2) + " " + Math.round(zone.top + zone.height / 2));
    await waitFor(() => listCount() > 1, "a drop of two files or more", 60);
    await new Promise(resolve => setTimeout(resolve, 500));
    report("dropped " + listCount() + " files: " + total());

    const row = document.querySelector("#rows-space .row");
    const name = row.children[1].textContent + row.children[0].textContent.split("/").pop();
    const left = listCount() - 1;
    row.click();
    $("delete").click();
    await waitFor(() => listCount() === left, "the removed row to leave the table", 30);
    await new Promise(resolve => requestAnimationFrame(resolve));
    report("removed " + name + ", left " + total());
    await upload();
    report("pass");
  }

  // Resolves after the next frame has been drawn.
  const nextFrame = () => new Promise(resolve => requestAnimationFrame(() => setTimeout(resolve, 0)));

  async function timeFrom(start, condition, what) {
    while (!condition()) {
      if (performance.now() - start > 600000)
        throw new Error("gave up waiting for " + what);
      await nextFrame();
    }
    return performance.now() - start;
  }

  async function bench() {
    const rounds = Number(new URLSearchParams(location.search).get("rounds")) || 3;
    for (let round = 0; round < rounds; round++) {
      let start = performance.now();
      $("pick").click();
      const picked = await timeFrom(start, () => listCount() > 0, "the total");
      const count = listCount();

      start = performance.now();
      $("rows").scrollTop = $("rows").scrollHeight / 2;
      table.draw();
      const scrolled = performance.now() - start;

      const row = document.querySelector("#rows-space .row");
      start = performance.now();
      row.click();
      $("delete").click();
      const removed = await timeFrom(start, () => listCount() === count - 1, "the removed row");
      report("round " + picked.toFixed(1) + " " + count + " " + scrolled.toFixed(1) + " " + removed.toFixed(1));

      $("reset").click();
      await timeFrom(performance.now(), () => listCount() === 0, "the emptied list");
    }
    report("pass");
  }

  const modes = {drop: dropRemoveAndUpload, bench};
  const mode = new URLSearchParams(location.search).get("walkthrough");
  started.then(modes[mode] || pickAndUpload).catch(error => report("fail: " + error.message));
})();
