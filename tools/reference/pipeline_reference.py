"""End-to-end references for the schedulers: diffusers 0.25's Stable Diffusion and SDXL
pipelines on tiny model directories whose denoising networks were trained (a few hundred
steps) to predict noise, so that samplers visibly differ.

Writes tests/pipeline/fixtures/Trained/: an SD directory (`sd/`) and an SDXL one (`xl/`) with
the tokenizer and text encoders of tests/nn/fixtures/XLConditioning, the VAE decoder of
tests/nn/fixtures/VAEDecoder.model and the trained networks (F16), and `Expected.safetensors`:
for each case the 8-bit image diffusers' pipeline gives (prompt "a cat", negative "dog",
guidance 7.5, torch generator seeded 5) with the scheduler class built by from_config from SD
1.5's scheduler configuration, decoded from the last step's clean-sample estimate.

    .venv/bin/python tools/reference/pipeline_reference.py
"""

import functools
import json
import os
import pathlib
import shutil
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import torch  # noqa: E402
from safetensors.torch import load_file, save_file  # noqa: E402

torch.set_num_threads(1)

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import nn_reference  # noqa: E402
from scheduler_reference import SD15  # noqa: E402

ROOT = HERE.parents[1]
NN = ROOT / "tests/nn/fixtures"
OUT = ROOT / "tests/pipeline/fixtures/Trained"

PROMPT, NEGATIVE, SEED, GUIDANCE = "a cat", "dog", 5, 7.5
# (name, class, extra config, steps)
CASES = [
    ("euler", "EulerDiscreteScheduler", {}, 10),
    ("euler-a", "EulerAncestralDiscreteScheduler", {}, 10),
    ("ddim", "DDIMScheduler", {}, 10),
    ("heun", "HeunDiscreteScheduler", {}, 10),
    ("unipc", "UniPCMultistepScheduler", {}, 10),
    ("dpm-sde", "DPMSolverMultistepScheduler", {"algorithm_type": "sde-dpmsolver++"}, 10),
    ("euler+karras", "EulerDiscreteScheduler", {"use_karras_sigmas": True}, 10),
    ("dpm", "DPMSolverMultistepScheduler", {}, 10),
    ("lcm", "LCMScheduler", {}, 4),
]
XL_CASES = ["lcm", "euler-a", "heun"]
# Latents 16 × 16; the tiny VAE doubles them to 32 × 32 pixels. The SDXL geometry rows
# say 8 pixels per latent cell (128), as dravelin-cli derives them from the network.
LATENT = 16
GEOMETRY = 128
XL_SCALE = 0.13025


def text_encoders():
    from transformers import CLIPTextModel, CLIPTextModelWithProjection, CLIPTokenizer

    folder = NN / "XLConditioning"
    encoders = []
    for cls, name in ((CLIPTextModel, "TextEncoder"), (CLIPTextModelWithProjection, "TextEncoder2")):
        config = json.loads((folder / f"{name}.model/config.json").read_text())
        model = cls(nn_reference.clip_text_config(
            {k: v for k, v in config.items() if k not in ("architectures",)})).eval()
        state = {k: v.to(torch.float32)
                 for k, v in load_file(str(folder / f"{name}.model/model.safetensors")).items()}
        model.load_state_dict(state, strict=False)
        encoders.append(model)
    tokenizer = CLIPTokenizer(str(folder / "vocab.json"), str(folder / "merges.txt"),
                              pad_token="<|endoftext|>", model_max_length=16)
    tokenizer_2 = CLIPTokenizer(str(folder / "vocab.json"), str(folder / "merges.txt"),
                                pad_token="!", model_max_length=16)
    return encoders[0], encoders[1], tokenizer, tokenizer_2


def vae(scaling_factor):
    from diffusers import AutoencoderKL

    config = json.loads((NN / "VAEDecoder.model/config.json").read_text())
    config = {k: v for k, v in config.items() if not k.startswith("_")}
    model = AutoencoderKL(**config, scaling_factor=scaling_factor).eval()
    state = {k: v.to(torch.float32)
             for k, v in load_file(str(NN / "VAEDecoder.model/model.safetensors")).items()}
    missing, _ = model.load_state_dict(state, strict=False)
    assert not [k for k in missing if k.startswith("decoder.") or k.startswith("post_quant")]
    return model


def patterns(count, seed):
    """Smooth latent images, one per prompt: what the network learns to denoise towards."""
    generator = torch.Generator().manual_seed(seed)
    coarse = torch.randn((count, 4, 4, 4), generator=generator) * 1.2
    return torch.nn.functional.interpolate(coarse, size=(LATENT, LATENT), mode="bilinear",
                                           align_corners=False)


def train(unet, conditions, steps, seed):
    # A network trained before in this session is reused (TRAINED_CACHE names a folder).
    cache = os.environ.get("TRAINED_CACHE")
    cached = pathlib.Path(cache) / f"unet-{seed}.pt" if cache else None
    if cached is not None and cached.exists():
        unet.load_state_dict(torch.load(str(cached)))
        unet.eval()
        return
    teach(unet, conditions, steps, seed)
    if cached is not None:
        torch.save(unet.state_dict(), str(cached))


def teach(unet, conditions, steps, seed):
    """Teaches the network to predict the noise added to each prompt's pattern at random
    training timesteps (scaled-linear betas 0.00085 to 0.012 over 1000 steps)."""
    from diffusers import DDPMScheduler

    noise_schedule = DDPMScheduler.from_config(SD15)
    targets = patterns(len(conditions), seed)
    generator = torch.Generator().manual_seed(seed + 1)
    optimizer = torch.optim.Adam(unet.parameters(), lr=2e-3)
    unet.train()
    for step in range(steps):
        index = torch.randint(len(conditions), (12,), generator=generator)
        x0 = targets[index]
        noise = torch.randn(x0.shape, generator=generator)
        t = torch.randint(1000, (12,), generator=generator)
        noisy = noise_schedule.add_noise(x0, noise, t)
        kwargs = conditions.select(index)
        loss = torch.nn.functional.mse_loss(unet(noisy, t, **kwargs).sample, noise)
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()
        if step % 100 == 0 or step == steps - 1:
            print(f"  step {step}: loss {loss.item():.4f}")
    unet.eval()


class Conditions:
    def __init__(self, states, extra=None):
        self.states, self.extra = states, extra or {}

    def __len__(self):
        return self.states.shape[0]

    def select(self, index):
        kwargs = {"encoder_hidden_states": self.states[index]}
        if self.extra:
            kwargs["added_cond_kwargs"] = {k: v[index] for k, v in self.extra.items()}
        return kwargs


PROMPTS = ["a cat", "dog", "a red house", "", "two birds", "the sea"]


def save_unet(unet, directory, sequence):
    config = nn_reference.hub_vae_config(unet)
    channels = unet.config.cross_attention_dim
    bundle = {"inputs": {"sample": [2, 4, LATENT, LATENT], "timestep": [2],
                         "encoder_hidden_states": [2, channels, 1, sequence]}}
    nn_reference.save_bundle(directory / "Unet.model", config, unet.state_dict(), "F16",
                             bundle_json=bundle)


def copy_common(directory, encoders, scaling_factor):
    directory.mkdir(parents=True, exist_ok=True)
    for name in ["vocab.json", "merges.txt"] + [f"{e}.model" for e in encoders]:
        source = NN / "XLConditioning" / name
        if source.is_dir():
            shutil.copytree(source, directory / name, dirs_exist_ok=True)
        else:
            shutil.copy(source, directory / name)
    shutil.copytree(NN / "VAEDecoder.model", directory / "VAEDecoder.model", dirs_exist_ok=True)
    if scaling_factor is not None:
        config_file = directory / "VAEDecoder.model/config.json"
        config = json.loads(config_file.read_text())
        config["scaling_factor"] = scaling_factor
        config_file.write_text(json.dumps(config, indent=2, sort_keys=True) + "\n")


def scheduler(class_name, extra):
    import diffusers

    return getattr(diffusers, class_name).from_config(SD15, **extra)


def recording(pipeline):
    """Wraps the scheduler's step to keep the clean-sample estimate of the latest step."""
    sched = pipeline.scheduler
    original = sched.step
    latest = {}

    @functools.wraps(original)
    def step(model_output, timestep, sample, *args, return_dict=True, **kwargs):
        result = original(model_output, timestep, sample, *args, return_dict=True, **kwargs)
        estimate = getattr(result, "pred_original_sample", None)
        if estimate is None:
            estimate = getattr(result, "denoised", None)
        if estimate is None and hasattr(sched, "model_outputs"):
            estimate = sched.model_outputs[-1]
        latest["x0"] = result.prev_sample if estimate is None else estimate
        return result if return_dict else (result.prev_sample,)

    sched.step = step
    return latest


def decoded(vae_model, latents):
    with torch.no_grad():
        image = vae_model.decode(latents / vae_model.config.scaling_factor).sample
    image = (image / 2 + 0.5).clamp(0, 1)[0].permute(1, 2, 0)
    return (image * 255).round()


def sd_cases(expected):
    from diffusers import StableDiffusionPipeline, UNet2DConditionModel

    text_encoder, _, tokenizer, _ = text_encoders()
    with torch.no_grad():
        ids = tokenizer(PROMPTS, padding="max_length", max_length=16, truncation=True,
                        return_tensors="pt").input_ids
        states = text_encoder(ids)[0]
    unet = UNet2DConditionModel(
        sample_size=LATENT, in_channels=4, out_channels=4, block_out_channels=(16, 32),
        layers_per_block=1, down_block_types=("CrossAttnDownBlock2D", "DownBlock2D"),
        up_block_types=("UpBlock2D", "CrossAttnUpBlock2D"), cross_attention_dim=32,
        attention_head_dim=4, norm_num_groups=4)
    torch.manual_seed(1)
    print("training the SD network")
    train(unet, Conditions(states), 250, 21)
    nn_reference.round_to(unet, "F16")
    directory = OUT / "sd"
    copy_common(directory, ["TextEncoder"], None)
    save_unet(unet, directory, 16)
    vae_model = vae(0.18215)
    for name, class_name, extra, steps in CASES:
        pipeline = StableDiffusionPipeline(vae=vae_model, text_encoder=text_encoder,
                                           tokenizer=tokenizer, unet=unet,
                                           scheduler=scheduler(class_name, extra),
                                           safety_checker=None, feature_extractor=None,
                                           requires_safety_checker=False)
        latest = recording(pipeline)
        with torch.no_grad():
            pipeline(PROMPT, negative_prompt=NEGATIVE, num_inference_steps=steps,
                     guidance_scale=GUIDANCE, generator=torch.Generator().manual_seed(SEED),
                     height=2 * LATENT, width=2 * LATENT, output_type="latent")
        expected[f"sd/{name}"] = decoded(vae_model, latest["x0"])
        print(f"  sd {name}: mean {expected[f'sd/{name}'].mean():.1f}")


def xl_cases(expected):
    from diffusers import StableDiffusionXLPipeline, UNet2DConditionModel

    first, second, tokenizer, tokenizer_2 = text_encoders()
    with torch.no_grad():
        ids = tokenizer(PROMPTS, padding="max_length", max_length=16, truncation=True,
                        return_tensors="pt").input_ids
        ids_2 = tokenizer_2(PROMPTS, padding="max_length", max_length=16, truncation=True,
                            return_tensors="pt").input_ids
        one = first(ids, output_hidden_states=True).hidden_states[-2]
        two = second(ids_2, output_hidden_states=True)
        states = torch.cat([one, two.hidden_states[-2]], dim=-1)
        pooled = two.text_embeds
    time_ids = torch.tensor([[GEOMETRY, GEOMETRY, 0, 0, GEOMETRY, GEOMETRY]],
                            dtype=torch.float32).repeat(len(PROMPTS), 1)
    unet = UNet2DConditionModel(
        sample_size=LATENT, in_channels=4, out_channels=4, block_out_channels=(16, 32),
        layers_per_block=1, down_block_types=("DownBlock2D", "CrossAttnDownBlock2D"),
        up_block_types=("CrossAttnUpBlock2D", "UpBlock2D"), cross_attention_dim=56,
        attention_head_dim=4, norm_num_groups=4, addition_embed_type="text_time",
        addition_time_embed_dim=8, projection_class_embeddings_input_dim=6 * 8 + 20,
        transformer_layers_per_block=1, use_linear_projection=True)
    torch.manual_seed(2)
    print("training the SDXL network")
    train(unet, Conditions(states, {"text_embeds": pooled, "time_ids": time_ids}), 250, 31)
    nn_reference.round_to(unet, "F16")
    directory = OUT / "xl"
    copy_common(directory, ["TextEncoder", "TextEncoder2"], XL_SCALE)
    save_unet(unet, directory, 16)
    vae_model = vae(XL_SCALE)
    for name, class_name, extra, steps in CASES:
        if name not in XL_CASES:
            continue
        pipeline = StableDiffusionXLPipeline(vae=vae_model, text_encoder=first,
                                             text_encoder_2=second, tokenizer=tokenizer,
                                             tokenizer_2=tokenizer_2, unet=unet,
                                             scheduler=scheduler(class_name, extra))
        latest = recording(pipeline)
        with torch.no_grad():
            pipeline(PROMPT, negative_prompt=NEGATIVE, num_inference_steps=steps,
                     guidance_scale=GUIDANCE, generator=torch.Generator().manual_seed(SEED),
                     height=2 * LATENT, width=2 * LATENT, original_size=(GEOMETRY, GEOMETRY),
                     target_size=(GEOMETRY, GEOMETRY), output_type="latent")
        expected[f"xl/{name}"] = decoded(vae_model, latest["x0"])
        print(f"  xl {name}: mean {expected[f'xl/{name}'].mean():.1f}")


def main():
    expected = {}
    sd_cases(expected)
    xl_cases(expected)
    save_file({k: v.to(torch.float32).contiguous() for k, v in expected.items()},
              str(OUT / "Expected.safetensors"))
    print(f"wrote {len(expected)} images to {OUT}")


if __name__ == "__main__":
    main()
